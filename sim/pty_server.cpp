#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

namespace k7::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// NMEA lines are held back while this much is waiting unread on the host's side: a host
// that reads never lets it build up, and the room left keeps answers from being dropped
// while a host that comes late catches up. (The line takes about 20 KiB in all.)
constexpr int kMaxNmeaBacklog = 2048;
// How long a piece that went out in part may take to finish before the rest is dropped.
constexpr milliseconds kFinishWrite{100};
// The longest the server sleeps with nothing due; a stop wakes it at once anyway.
constexpr milliseconds kIdleWait{1000};

bool Fail(std::string* error, const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return false;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

PtyServer::PtyServer(Options options, std::string link_path)
    : link_path_(std::move(link_path)), receiver_(std::move(options)) {}

PtyServer::~PtyServer() {
    Stop();
}

bool PtyServer::Start(std::string* error) {
    if (master_ >= 0 || thread_.joinable()) {
        *error = "the simulator was already started";
        return false;
    }
    if (!OpenLine(error) || !CreateLink(error)) {
        Stop();
        return false;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) {
        Fail(error, "creating the stop pipe");
        Stop();
        return false;
    }
    wake_read_ = wake[0];
    wake_write_ = wake[1];
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread(&PtyServer::Serve, this);
    } catch (const std::system_error& e) {
        *error = std::string("starting the server thread: ") + e.what();
        Stop();
        return false;
    }
    return true;
}

void PtyServer::Stop() {
    if (thread_.joinable()) {
        const char wake = 1;
        while (write(wake_write_, &wake, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    running_.store(false, std::memory_order_release);
    RemoveLink();
    CloseLine();
    CloseFd(wake_read_);
    CloseFd(wake_write_);
}

std::string PtyServer::Failure() const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    return failure_;
}

// The slave is made raw here, or its line discipline would echo the host's bytes back
// to it. The master does not block: what a host does not read is dropped.
bool PtyServer::OpenLine(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return Fail(error, "opening a pseudo-terminal");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
        return Fail(error, "unlocking the pseudo-terminal");
    slave_path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return Fail(error, "opening " + slave_path_);
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) return Fail(error, "reading the settings of " + slave_path_);
    cfmakeraw(&tio);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) return Fail(error, "making " + slave_path_ + " raw");
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return Fail(error, "making the pseudo-terminal non-blocking");
    return true;
}

// Replaces a symbolic link left behind by an earlier run, but nothing else.
bool PtyServer::CreateLink(std::string* error) {
    if (link_path_.empty()) return true;
    struct stat status {};
    if (lstat(link_path_.c_str(), &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            *error = link_path_ + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        if (unlink(link_path_.c_str()) != 0)
            return Fail(error, "removing the old link " + link_path_);
    }
    if (symlink(slave_path_.c_str(), link_path_.c_str()) != 0)
        return Fail(error, "linking " + link_path_ + " to " + slave_path_);
    linked_ = true;
    return true;
}

// Only while the link still leads to this server's slave: someone may have taken the
// name over meanwhile.
void PtyServer::RemoveLink() {
    if (!linked_) return;
    linked_ = false;
    char target[256];
    const ssize_t n = readlink(link_path_.c_str(), target, sizeof target);
    if (n > 0 && slave_path_ == std::string(target, static_cast<std::size_t>(n)))
        unlink(link_path_.c_str());
}

void PtyServer::CloseLine() {
    CloseFd(master_);
    CloseFd(slave_);
}

void PtyServer::Serve() {
    const auto start = Clock::now();
    std::multimap<Clock::time_point, Outgoing> pending;  // equal times keep their order
    for (;;) {
        const auto now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<milliseconds>(now - start);
        milliseconds next_tick;
        {
            std::lock_guard<std::mutex> lock(model_mutex_);
            receiver_.Tick(elapsed);
            for (Outgoing& out : receiver_.TakeOutput())
                pending.emplace(now + out.delay, std::move(out));
            next_tick = receiver_.NextTick();
        }
        while (!pending.empty() && pending.begin()->first <= now) {
            if (pending.begin()->second.hangup) {
                running_.store(false, std::memory_order_release);
                CloseLine();
                return;
            }
            const Outgoing& out = pending.begin()->second;
            if (!out.nmea || Backlog() < kMaxNmeaBacklog) WriteWhole(out.bytes);
            pending.erase(pending.begin());
        }

        milliseconds wait = kIdleWait;
        if (!pending.empty())
            wait = std::min(wait, std::chrono::ceil<milliseconds>(pending.begin()->first - now));
        if (next_tick != milliseconds::max()) wait = std::min(wait, next_tick - elapsed);
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::max(wait, milliseconds(0)).count())) < 0 &&
            errno != EINTR) {
            StopWithFailure("waiting for the host");
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) != 0) {
            if (!ReadHost()) return;
        } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // The server's own slave keeps the master from hanging up; this is not a host.
            errno = EIO;
            StopWithFailure("reading from " + slave_path_);
            return;
        }
    }
}

bool PtyServer::ReadHost() {
    std::uint8_t buffer[512];
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(model_mutex_);
            receiver_.Feed(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n == 0) errno = EIO;
        StopWithFailure("reading from " + slave_path_);
        return false;
    }
}

// Like a USB device whose host is not listening, the line drops what it cannot take: a
// piece that finds no room at all is dropped whole, and one that went out in part gets a
// short while to finish, so a frame is cut only when the host has stopped reading.
void PtyServer::WriteWhole(const std::vector<std::uint8_t>& bytes) {
    const auto deadline = Clock::now() + kFinishWrite;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (done == 0 || left.count() <= 0) return;
        pollfd out{master_, POLLOUT, 0};
        (void)poll(&out, 1, static_cast<int>(left.count()));
    }
}

// Bytes written to the master that no host has read yet. The server's own slave can
// tell without taking them.
int PtyServer::Backlog() const {
    int unread = 0;
    return ioctl(slave_, FIONREAD, &unread) == 0 ? unread : 0;
}

void PtyServer::StopWithFailure(const std::string& what) {
    const std::string reason = what + ": " + std::strerror(errno);
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        failure_ = reason;
    }
    running_.store(false, std::memory_order_release);
}

}  // namespace k7::sim
