// The far end of a pseudo-terminal, standing in for a device that sends bytes in the
// serial channel tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/test_frames.h"

namespace k7::test {

class PtyPeer {
public:
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
        close(master_);
        close(slave_);
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

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace k7::test
