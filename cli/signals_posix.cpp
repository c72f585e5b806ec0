#include <signal.h>

#include <atomic>

#include "cli/signals.h"

namespace k7 {

namespace {

// Set by the signal handler and read by the thread that cancels the jobs: a lock-free
// atomic is safe in both places.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// What a stop request wakes besides: set before the handler is, cleared once it is gone.
std::atomic<void (*)(void*)> g_wake{nullptr};
std::atomic<void*> g_wake_context{nullptr};
static_assert(std::atomic<void (*)(void*)>::is_always_lock_free);
static_assert(std::atomic<void*>::is_always_lock_free);

struct sigaction g_previous_int {};
struct sigaction g_previous_term {};

extern "C" void OnStopRequest(int) {
    g_stop_requested.store(true);
    if (void (*wake)(void*) = g_wake.load()) wake(g_wake_context.load());
}

}  // namespace

void IgnoreLostOutput() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
}

void CatchStopRequests(void (*wake)(void*), void* context) {
    g_stop_requested.store(false);
    g_wake_context.store(context);
    g_wake.store(wake);
    struct sigaction action {};
    action.sa_handler = OnStopRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the jobs' reads and writes carry on undisturbed
    sigaction(SIGINT, &action, &g_previous_int);
    sigaction(SIGTERM, &action, &g_previous_term);
}

bool StopRequested() {
    return g_stop_requested.load();
}

void ReleaseStopRequests() {
    sigaction(SIGINT, &g_previous_int, nullptr);
    sigaction(SIGTERM, &g_previous_term, nullptr);
    g_wake.store(nullptr);
}

}  // namespace k7
