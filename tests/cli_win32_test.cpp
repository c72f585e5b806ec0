// The Windows korvel7.exe as a user runs it under Wine: its standard output byte for byte
// and its exit status, against the native simulator that tools/wine-run.sh serves on COM7.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/expected_log.h"
#include "tests/wine_path.h"
#include "update/firmware_update.h"

namespace k7 {
namespace {

constexpr char kPlaceholderWarning[] = "korvel7: WARNING: this build carries placeholder images";

struct Result {
    DWORD status = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

// An empty temporary file that a child inherits as a standard stream; gone once closed.
HANDLE InheritableTempFile() {
    char folder[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "k7", 0, path);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string ReadAndClose(HANDLE file) {
    std::string text;
    char buffer[4096];
    DWORD count = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0)
        text.append(buffer, count);
    CloseHandle(file);
    return text;
}

// Runs korvel7.exe with `arguments` and collects both output streams; the time limit only
// guards against a hang.
Result RunCli(const std::string& arguments) {
    Result result;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = InheritableTempFile();
    startup.hStdError = InheritableTempFile();
    const std::string program = test::WindowsPath(KORVEL7_CLI);
    std::string command = "\"" + program + "\" " + arguments;
    PROCESS_INFORMATION child = {};
    if (CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &child)) {
        if (WaitForSingleObject(child.hProcess, 60000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "korvel7 " << arguments << " still runs after 60 s";
            TerminateProcess(child.hProcess, 0xFFFFFFFF);
            WaitForSingleObject(child.hProcess, INFINITE);
        }
        GetExitCodeProcess(child.hProcess, &result.status);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    } else {
        ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
    }
    result.out = ReadAndClose(startup.hStdOutput);
    result.err = ReadAndClose(startup.hStdError);
    // A build with the placeholder images says so first; the release tests check that line.
    if (result.err.rfind(kPlaceholderWarning, 0) == 0)
        result.err.erase(0, result.err.find('\n') + 1);
    return result;
}

// A text-mode stdout or a lost, doubled or reordered message shows up as a difference
// somewhere in the 25 block lines; the probe wait and the pause before the receiver's
// check are the product's own.
TEST(CliWin32, ProgramOnCom7PrintsTheWholeLogByteForByte) {
    const Result r = RunCli("program --port COM7");
    EXPECT_EQ(r.status, 0u) << r.err;
    EXPECT_EQ(r.out, test::SuccessLog("COM7", "2.4.5", BuiltInImages().a));
    EXPECT_EQ(r.err, "");
}

// A missing port ends the log on standard output; a usage message never gets into the log
// that a script reads there.
TEST(CliWin32, FailuresExitWithTheirStatusAndKeepTheLogClean) {
    Result r = RunCli("program --port COM42");
    EXPECT_EQ(r.status, 2u);
    EXPECT_EQ(r.out,
              "\r\nEntered COM PORT : COM42\r\nCOM42 not found or busy\r\nKORVEL7 not found\r\n");
    r = RunCli("program --port COMx");
    EXPECT_EQ(r.status, 64u);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("korvel7 --help"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace k7
