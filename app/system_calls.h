// The system calls the window makes around a worker: keeping the computer awake, holding
// back a shutdown and showing progress on the taskbar button. They are reached through
// here so that a test can watch them; the defaults are the real calls.
#pragma once

#include <windows.h>

#include <shobjidl.h>

#include <string_view>

struct SystemCalls {
    // On the worker's thread, when it starts and when it ends.
    EXECUTION_STATE(WINAPI* set_thread_execution_state)(EXECUTION_STATE) = SetThreadExecutionState;

    // The rest on the window's thread, but for before_log_relay.
    int(WINAPI* message_box)(HWND, LPCSTR, LPCSTR, UINT) = MessageBoxA;
    // On the logging thread, just before a message from a thread other than the window's
    // is handed to the window's thread; may be null.
    void (*before_log_relay)(std::string_view text) = nullptr;
    BOOL(WINAPI* shutdown_block_reason_create)(HWND, LPCWSTR) = ShutdownBlockReasonCreate;
    BOOL(WINAPI* shutdown_block_reason_destroy)(HWND) = ShutdownBlockReasonDestroy;

    // `taskbar` is null while the window has no taskbar object; nothing is shown then.
    void (*set_progress_state)(ITaskbarList3* taskbar, HWND window, TBPFLAG state) =
        [](ITaskbarList3* taskbar, HWND window, TBPFLAG state) {
            if (taskbar != nullptr) taskbar->SetProgressState(window, state);
        };
    void (*set_progress_value)(ITaskbarList3* taskbar, HWND window, ULONGLONG completed,
                               ULONGLONG total) = [](ITaskbarList3* taskbar, HWND window,
                                                     ULONGLONG completed, ULONGLONG total) {
        if (taskbar != nullptr) taskbar->SetProgressValue(window, completed, total);
    };
};
