#include <windows.h>

#include <atomic>

#include "cli/signals.h"

namespace k7 {

namespace {

// How long a closed console window waits for the jobs to end: Windows ends the process
// about five seconds after the event whatever the handler does.
constexpr DWORD kCloseGraceMs = 4500;

std::atomic<bool> g_stop_requested{false};
HANDLE g_released = nullptr;  // set once the jobs have ended
// What a stop request wakes besides: set before the handler is, cleared once it is gone.
std::atomic<void (*)(void*)> g_wake{nullptr};
std::atomic<void*> g_wake_context{nullptr};

void RequestStop() {
    g_stop_requested.store(true);
    if (void (*wake)(void*) = g_wake.load()) wake(g_wake_context.load());
}

// Runs on a thread of its own. Returning from a close event ends the process, so that one
// waits until the cancelled jobs have logged their ends.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            RequestStop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
            RequestStop();
            WaitForSingleObject(g_released, kCloseGraceMs);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

// Windows has no SIGPIPE or SIGHUP: a write to a closed pipe just fails.
void IgnoreLostOutput() {}

void CatchStopRequests(void (*wake)(void*), void* context) {
    g_stop_requested.store(false);
    g_wake_context.store(context);
    g_wake.store(wake);
    if (g_released == nullptr) g_released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(g_released);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() {
    return g_stop_requested.load();
}

void ReleaseStopRequests() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_wake.store(nullptr);
    SetEvent(g_released);
}

}  // namespace k7
