// The far end of a pseudo-terminal, standing in for a receiver in channel and exchange
// tests: it reads the frames the link sends and answers as a test's script says.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tests/test_frames.h"

namespace k7::test {

class PtyPeer {
public:
    // Given the index of a received frame (from 0) and the frame, says what to send back.
    using Script = std::function<std::optional<Bytes>(int index, const Bytes& frame)>;

    PtyPeer() {
        char name[256];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        termios tio{};
        tcgetattr(slave_, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        path_ = name;
    }
    ~PtyPeer() {
        Stop();
        HangUp();
    }

    const std::string& Path() const { return path_; }

    // Gives up on what the line does not take within a second, as a device would whose
    // host stopped reading.
    void Write(const Bytes& bytes) {
        std::size_t done = 0;
        for (int waits = 0; done < bytes.size() && waits < 100;) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN) return;
            pollfd pfd{master_, POLLOUT, 0};
            poll(&pfd, 1, 10);
            ++waits;
        }
    }

    // Answers frames on a thread of its own until Stop().
    void Serve(Script script) {
        script_ = std::move(script);
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    int FramesReceived() const { return frames_.load(); }
    Bytes LastFrame() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_frame_;
    }

    // Closes both ends: the link's side sees the line hang up.
    void HangUp() {
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
        master_ = slave_ = -1;
    }

private:
    void Run() {
        Bytes pending;
        while (!stop_) {
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, 10) <= 0) continue;
            std::uint8_t buffer[512];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) return;
            pending.insert(pending.end(), buffer, buffer + n);
            while (TakeFrame(pending)) {
            }
        }
    }

    // Removes one whole frame from the front of `pending` and answers it.
    bool TakeFrame(Bytes& pending) {
        while (!pending.empty() && pending[0] != kFrameStart)
            pending.erase(pending.begin());
        if (pending.size() < 4 || pending.size() < pending[2] + 4u) return false;
        Bytes frame(pending.begin(), pending.begin() + pending[2] + 4);
        pending.erase(pending.begin(), pending.begin() + pending[2] + 4);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_frame_ = frame;
        }
        if (auto reply = script_(frames_.fetch_add(1), frame)) Write(*reply);
        return true;
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    Script script_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> frames_{0};
    mutable std::mutex mutex_;
    Bytes last_frame_;
};

}  // namespace k7::test
