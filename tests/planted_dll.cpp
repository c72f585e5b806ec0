// A stand-in for a DLL that someone placed beside the program.
extern "C" __declspec(dllexport) int korvel7_planted() {
    return 1;
}
