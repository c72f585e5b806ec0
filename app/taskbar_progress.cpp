#include "app/taskbar_progress.h"

TaskbarProgress::~TaskbarProgress() {
    if (taskbar_ != nullptr) taskbar_->Release();
}

void TaskbarProgress::Attach() {
    if (taskbar_ != nullptr) return;
    ITaskbarList3* taskbar = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&taskbar))))
        return;
    if (FAILED(taskbar->HrInit())) {
        taskbar->Release();
        return;
    }
    taskbar_ = taskbar;
}

void TaskbarProgress::Clear() {
    SetState(TBPF_NOPROGRESS);
}

void TaskbarProgress::Show(ULONGLONG thousandths) {
    if (!normal_) SetState(TBPF_NORMAL);
    calls_.set_progress_value(taskbar_, window_, thousandths, kFullScale);
}

// The value stays where the run got to; only the colour changes.
void TaskbarProgress::ShowFailure() {
    SetState(TBPF_ERROR);
}

void TaskbarProgress::SetState(TBPFLAG state) {
    calls_.set_progress_state(taskbar_, window_, state);
    normal_ = state == TBPF_NORMAL;
}
