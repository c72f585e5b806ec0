// An auto-reset event: Set() lets exactly one Wait() through, now or later; a signal
// that nobody waited for stays set until the next Wait() consumes it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace k7 {

class AutoResetEvent {
public:
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

    // True when signalled within the timeout; the signal is consumed.
    bool Wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
        signalled_ = false;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace k7
