// An update's progress on the window's taskbar button, in thousandths: the normal state
// while it runs, the error state at the value reached when it fails, nothing between runs.
// Use on the window's thread only.
#pragma once

#include <windows.h>

#include <shobjidl.h>

#include "app/system_calls.h"

class TaskbarProgress {
public:
    static constexpr ULONGLONG kFullScale = 1000;

    TaskbarProgress(const SystemCalls& calls, HWND window) : calls_(calls), window_(window) {}
    // Releases the taskbar object: destroy before COM is uninitialised on this thread.
    ~TaskbarProgress();
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    // Creates the taskbar object once the window's button exists; COM must be initialised
    // on this thread. Where it cannot be created, progress is simply not shown.
    void Attach();

    void Clear();
    void Show(ULONGLONG thousandths);
    void ShowFailure();

private:
    void SetState(TBPFLAG state);

    const SystemCalls& calls_;
    const HWND window_;
    ITaskbarList3* taskbar_ = nullptr;
    bool normal_ = false;
};
