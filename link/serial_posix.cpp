// POSIX backend of the serial channel: termios for the line, poll for the receiving
// thread, a pipe to wake that thread at close, and an advisory lock for exclusive use.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "link/serial.h"

namespace k7 {

struct SerialDevice {
    int fd = -1;
    bool exclusive = false;  // TIOCEXCL set on the terminal by this open
    int wake_read = -1;
    int wake_write = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> connected{true};
    std::atomic<bool> registered{false};
    ReceiveRoutine routine = nullptr;
    void* context = nullptr;
};

namespace {

// One read takes up to this much of the input queue, more than any answer holds, and
// hands it on in blocks of kReceiveBlock: a read-back answer costs one system call, not
// three.
constexpr std::size_t kReadBurst = 512;
// The shortest time slice an ordinary thread may ask for.
constexpr std::uint64_t kShortSliceNs = 100'000;

// sched_setattr(2)'s argument, which the C library does not declare.
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;
    std::uint64_t deadline;
    std::uint64_t period;
};

speed_t SpeedFor(std::uint32_t baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

// Raw 8N1 at `baud`, no flow control, reads that return at once.
bool ConfigureLine(int fd, std::uint32_t baud) {
    speed_t speed = SpeedFor(baud);
    termios tio{};
    if (speed == B0) {
        errno = EINVAL;
        return false;
    }
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void RaiseModemLines(int fd) {
    // A pseudo-terminal has no modem lines; the request then fails and that is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &lines);
}

// What an errno from open(2) means to the user. ENXIO and ENODEV come from a device node
// whose device has gone (unplugged); EBUSY from a terminal another opener made exclusive.
OpenFailure FailureOfOpen(int code) {
    switch (code) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            return OpenFailure::kMissing;
        case EACCES:
        case EPERM:
            return OpenFailure::kPermission;
        case EBUSY:
            return OpenFailure::kBusy;
        default:
            return OpenFailure::kOther;
    }
}

// Whether another opener has made the terminal exclusive already.
bool HeldExclusive(int fd) {
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// The kernel's TIOCEXCL keeps out other openers except root; the lock keeps out every
// opener that asks for it, this process included (each open has its own lock). Root gets
// through another program's TIOCEXCL, so that is asked for and counts as busy, and the flag
// stays that program's. A file that is no terminal refuses TIOCEXCL, as it would the line
// settings.
OpenFailure OpenExclusive(SerialDevice* device, const std::string& name) {
    device->fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device->fd < 0) return FailureOfOpen(errno);
    if (flock(device->fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? OpenFailure::kBusy : OpenFailure::kOther;
    if (HeldExclusive(device->fd)) {
        errno = EBUSY;
        return OpenFailure::kBusy;
    }
    device->exclusive = ioctl(device->fd, TIOCEXCL) == 0;
    return device->exclusive ? OpenFailure::kNone : OpenFailure::kSettingsRefused;
}

// Delivers what the input queue holds, in blocks of at most kReceiveBlock bytes. False
// when the device has gone away. With VMIN and VTIME 0 an empty queue reads as 0 bytes;
// a short read has emptied it already, and asking again would only cost a system call
// in every exchange (poll reports what arrives after it).
bool DrainInput(SerialDevice* device) {
    std::uint8_t buffer[kReadBurst];
    while (!device->stop.load(std::memory_order_acquire)) {
        ssize_t n = read(device->fd, buffer, sizeof buffer);
        if (n > 0) {
            const auto count = static_cast<std::size_t>(n);
            if (device->registered.load(std::memory_order_acquire)) {
                for (std::size_t done = 0; done < count; done += kReceiveBlock)
                    device->routine(device->context, buffer + done,
                                    static_cast<std::uint32_t>(
                                        std::min<std::size_t>(kReceiveBlock, count - done)));
            }
            if (count < sizeof buffer) return true;
            continue;
        }
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return true;
        if (errno != EINTR) return false;  // EIO: the other end hung up
    }
    return true;
}

// Waits for data or for the close signal. A hang-up ends the thread after what arrived
// before it has been delivered, so a dead device never keeps it spinning.
void ReceiveThread(SerialDevice* device) {
    RaiseExchangePriority();
    pollfd fds[2] = {{device->fd, POLLIN, 0}, {device->wake_read, POLLIN, 0}};
    while (!device->stop.load(std::memory_order_acquire)) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        short events = fds[0].revents;
        if ((events & POLLIN) != 0 && !DrainInput(device)) break;
        if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;
    }
    if (!device->stop.load(std::memory_order_acquire))
        device->connected.store(false, std::memory_order_release);
}

// The exclusive flag belongs to the terminal, not to this open: when this open set it, it
// is cleared on every way out, or a terminal that someone else keeps open stays barred to
// everyone but root.
void Release(SerialDevice* device) {
    if (device->exclusive) (void)ioctl(device->fd, TIOCNXCL);
    if (device->fd >= 0) close(device->fd);
    if (device->wake_read >= 0) close(device->wake_read);
    if (device->wake_write >= 0) close(device->wake_write);
    delete device;
}

// Releases what a failed open took and says why, in the system's words for `code`.
SerialDevice* Fail(SerialDevice* device, OpenFailure failure, int code, OpenError* error) {
    Release(device);
    if (error != nullptr)
        *error = {failure, std::error_code(code, std::generic_category()).message()};
    return nullptr;
}

}  // namespace

SerialDevice* OpenSerialDevice(const std::string& name, std::uint32_t baud, OpenError* error) {
    auto* device = new SerialDevice;
    if (const OpenFailure failure = OpenExclusive(device, name); failure != OpenFailure::kNone)
        return Fail(device, failure, errno, error);
    if (!ConfigureLine(device->fd, baud))
        return Fail(device, OpenFailure::kSettingsRefused, errno, error);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) return Fail(device, OpenFailure::kOther, errno, error);
    device->wake_read = wake[0];
    device->wake_write = wake[1];
    RaiseModemLines(device->fd);
    try {
        device->thread = std::thread(ReceiveThread, device);
    } catch (const std::system_error& e) {
        return Fail(device, OpenFailure::kOther, e.code().value(), error);
    }
    return device;
}

// An ordinary thread that wakes with a short time slice preempts a busy one sooner
// (Linux 6.12 and later; earlier ones take the call and ignore it), and any user may ask
// for one. Real-time priority, which needs privileges, did worse on a two-CPU virtual
// machine: a real-time thread that wakes the other thread of an exchange drives it onto
// the other, often idle, CPU (tens of microseconds more per answer, and more CPU time),
// and with both real-time every hand-over crosses CPUs (twice the CPU time); a lower
// nice value gained little. A thread that runs under another policy (a user's chrt, say)
// keeps it, and the call keeps the thread's nice value, which it would otherwise reset.
void RaiseExchangePriority() {
    if (sched_getscheduler(0) != SCHED_OTHER) return;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (errno != 0) return;
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.policy = SCHED_OTHER;
    attr.nice = nice;
    attr.runtime = kShortSliceNs;
    (void)syscall(SYS_sched_setattr, 0, &attr, 0);
}

void SetReceiveCallback(SerialDevice* device, ReceiveRoutine routine, void* context) {
    device->routine = routine;
    device->context = context;
    device->registered.store(true, std::memory_order_release);
}

// A tty write returns once the bytes are in the kernel's output queue; it waits only
// while that queue is full, and then no longer than a Win32 write time-out would.
void WritePort(SerialDevice* device, const std::uint8_t* bytes, std::uint32_t count) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(1000 + 10 * count);
    while (count > 0) {
        ssize_t n = write(device->fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return;
        pollfd out{device->fd, POLLOUT, 0};
        (void)poll(&out, 1, static_cast<int>(left.count()));
    }
}

bool DeviceConnected(const SerialDevice* device) {
    return device->connected.load(std::memory_order_acquire);
}

void CloseSerialDevice(SerialDevice* device) {
    if (device == nullptr) return;
    device->stop.store(true, std::memory_order_release);
    const char wake = 1;
    while (write(device->wake_write, &wake, 1) < 0 && errno == EINTR) {
    }
    device->thread.join();
    Release(device);
}

}  // namespace k7
