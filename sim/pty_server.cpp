#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ratio>

namespace k7::sim {

namespace {

using std::chrono::milliseconds;

// NMEA lines are dropped while this much is waiting unread on the host's side: a host
// that reads never lets it build up. Answers are never dropped; they wait for the host.
constexpr std::size_t kMaxNmeaBacklog = 2048;
// The longest the loop sleeps with nothing due; a stop or a new line wakes it at once.
constexpr milliseconds kIdleWait{1000};

bool Fail(std::string* error, const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return false;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

timespec Timeout(Clock::duration wait) {
    wait = std::max(wait, Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
}

}  // namespace

double LineKeeping::Deviation() const {
    if (model.count() == 0) return 0;
    return static_cast<double>(given.count()) / static_cast<double>(model.count()) - 1;
}

// Ten bit times a byte, counted here on its own rather than with the server's arithmetic.
// A host's piece may reach the receiver before its wire_end, but not across an NMEA
// line's due time: the receiver would see the two in the wrong order.
LineKeeping KeepingOf(const std::vector<LineEvent>& record, bool to_host, std::uint32_t baud) {
    LineKeeping keeping;
    if (baud == 0) return keeping;            // an unpaced line has no model to keep
    std::vector<Clock::time_point> nmea_due;  // in order, as they went on the line
    for (const LineEvent& event : record)
        if (event.nmea) nmea_due.push_back(event.ready);
    const auto nmea_between = [&](Clock::time_point from, Clock::time_point to) {
        const auto next = std::upper_bound(nmea_due.begin(), nmea_due.end(), from);
        return next != nmea_due.end() && *next < to;
    };
    Clock::time_point line_free{};
    for (const LineEvent& event : record) {
        if (event.to_host != to_host) continue;
        keeping.given += event.wire_end - std::max(event.ready, line_free);
        keeping.model += std::chrono::nanoseconds(
            static_cast<long long>(static_cast<double>(event.bytes) * 10 * std::nano::den / baud));
        line_free = event.wire_end;
        if (event.done < event.wire_end && (to_host || nmea_between(event.done, event.wire_end)))
            ++keeping.early;
        keeping.latest = std::max(keeping.latest, event.done - event.wire_end);
    }
    return keeping;
}

LineLoop::~LineLoop() {
    Stop();
}

bool LineLoop::Start(std::string* error) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) return Fail(error, "creating the line loop's wake-up");
    try {
        thread_ = std::thread(&LineLoop::Serve, this);
    } catch (const std::system_error& e) {
        *error = std::string("starting the line loop's thread: ") + e.what();
        CloseFd(wake_);
        return false;
    }
    return true;
}

void LineLoop::Stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        Wake();
        thread_.join();
    }
    CloseFd(wake_);
}

std::chrono::nanoseconds LineLoop::CpuTime() {
    clockid_t clock;
    timespec used{};
    if (!thread_.joinable() || pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

bool LineLoop::Add(PtyServer& line, std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable() || stopping_) {
            *error = "the line loop is not running";
            return false;
        }
        lines_.push_back(&line);
        ++generation_;
    }
    Wake();
    return true;
}

void LineLoop::Remove(PtyServer& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase(lines_, &line);
        ++generation_;
    }
    Wake();
}

void LineLoop::Wake() {
    const std::uint64_t one = 1;
    while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void LineLoop::Serve() {
    // Paced bytes are due to the microsecond; the default 50 us slack would blur them.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<pollfd> fds;
    std::vector<PtyServer*> polled;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto next = ServeDue(Clock::now(), fds, polled);
        const std::uint64_t generation = generation_;
        lock.unlock();
        const timespec timeout = Timeout(next - Clock::now());
        const int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
        const int poll_errno = errno;
        lock.lock();
        if (ready < 0 && poll_errno != EINTR) {
            errno = poll_errno;
            for (PtyServer* line : lines_)
                line->StopWithFailure("waiting for the host on " + line->slave_path_);
            return;
        }
        if (fds.back().revents != 0) {
            std::uint64_t count;
            (void)read(wake_, &count, sizeof count);
        }
        // A line that came or went meanwhile may have had its descriptor's number reused.
        if (ready <= 0 || generation != generation_) continue;
        for (std::size_t i = 0; i < polled.size(); ++i)
            if (fds[i].revents != 0) polled[i]->TakeInput(fds[i].revents);
    }
}

Clock::time_point LineLoop::ServeDue(Clock::time_point now, std::vector<pollfd>& fds,
                                     std::vector<PtyServer*>& polled) {
    fds.clear();
    polled.clear();
    auto next = now + kIdleWait;
    for (PtyServer* line : lines_) {
        if (!line->Running() || !line->Advance(now)) continue;
        next = std::min(next, line->NextDue(now));
        if (line->master_ < 0) continue;
        const short out = line->unsent_.empty() ? 0 : POLLOUT;
        fds.push_back({line->master_, static_cast<short>(POLLIN | out), 0});
        polled.push_back(line);
    }
    fds.push_back({wake_, POLLIN, 0});
    return next;
}

PtyServer::PtyServer(Options options, std::string link_path, Plugging plugging)
    : link_path_(std::move(link_path)),
      plugging_(std::move(plugging)),
      baud_(options.baud),
      receiver_(std::move(options)) {}

PtyServer::~PtyServer() {
    Stop();
}

bool PtyServer::Start(std::string* error) {
    if (serving_ || master_ >= 0) {
        *error = "the simulator was already started";
        return false;
    }
    if (loop_ == nullptr) {
        own_loop_ = std::make_unique<LineLoop>();
        if (!own_loop_->Start(error)) return false;
        loop_ = own_loop_.get();
    }
    // Until the plug-in, no earlier run's link may lead a host anywhere.
    const bool plug_now = plugging_.plug_after.count() <= 0;
    if (!OpenLine(error) || !ClearOldLink(error) || (plug_now && !CreateLink(error))) {
        Stop();
        return false;
    }
    start_ = Clock::now();
    if (!plug_now) plug_at_ = start_ + plugging_.plug_after;
    if (plugging_.unplug_after) unplug_at_ = start_ + *plugging_.unplug_after;
    running_.store(true, std::memory_order_release);
    serving_ = loop_->Add(*this, error);
    if (!serving_) Stop();
    return serving_;
}

void PtyServer::Stop() {
    if (serving_) loop_->Remove(*this);
    serving_ = false;
    if (own_loop_) own_loop_->Stop();
    running_.store(false, std::memory_order_release);
    RemoveLink();
    CloseLine();
}

std::string PtyServer::Failure() const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    return failure_;
}

std::string PtyServer::SlavePath() const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    return slave_path_;
}

// The slave is made raw here, or its line discipline would echo the host's bytes back
// to it. The master does not block: what a host has not taken yet waits in unsent_.
bool PtyServer::OpenLine(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return Fail(error, "opening a pseudo-terminal");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
        return Fail(error, "unlocking the pseudo-terminal");
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        slave_path_ = name;
    }
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

// Removes a symbolic link left behind by an earlier run, but nothing else.
bool PtyServer::ClearOldLink(std::string* error) {
    if (link_path_.empty()) return true;
    struct stat status {};
    if (lstat(link_path_.c_str(), &status) != 0) return true;
    if (!S_ISLNK(status.st_mode)) {
        *error = link_path_ + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    if (unlink(link_path_.c_str()) != 0) return Fail(error, "removing the old link " + link_path_);
    return true;
}

bool PtyServer::CreateLink(std::string* error) {
    if (link_path_.empty()) return true;
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

// The name goes first, so a host that finds its port hung up cannot open it again. The
// master's close hangs up every open slave: reads end, writes fail with EIO.
void PtyServer::Unplug(const std::string& why) {
    RemoveLink();
    CloseLine();
    receiving_.clear();
    waiting_.clear();
    sending_.clear();
    unsent_.clear();
    if (plugging_.notice) plugging_.notice(why + ": hung up " + slave_path_);
}

// False once the scheduled unplug ended serving, or plugging in again failed.
bool PtyServer::FollowPlugging(Clock::time_point now) {
    if (unplug_at_ && *unplug_at_ <= now) {
        // Stopped before the hang-up, so that whoever sees the hang-up sees the stop too.
        unplugged_.store(true, std::memory_order_release);
        running_.store(false, std::memory_order_release);
        Unplug("unplugged as scheduled");
        return false;
    }
    if (!plug_at_ || now < *plug_at_) return true;
    plug_at_.reset();
    std::string error;
    if ((master_ < 0 && !OpenLine(&error)) || !CreateLink(&error)) {
        StopWith(error);
        return false;
    }
    if (plugging_.notice && !link_path_.empty())
        plugging_.notice(link_path_ + " links to " + slave_path_);
    return true;
}

bool PtyServer::Advance(Clock::time_point now) {
    if (!FollowPlugging(now)) return false;
    FeedDue(now);
    TickDue(now);
    PutDueOnLine(now);
    return WriteDue(now);
}

void PtyServer::TakeInput(short revents) {
    if ((revents & POLLOUT) != 0) Flush();
    if ((revents & POLLIN) != 0) {
        ReadHost();
    } else if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        // The server's own slave keeps the master from hanging up; this is not a host.
        errno = EIO;
        StopWithFailure("reading from " + slave_path_);
    }
}

// Ten bit times a byte: 8 data bits between a start and a stop bit.
std::chrono::nanoseconds PtyServer::WireTime(std::size_t bytes) const {
    if (baud_ == 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(bytes * 10'000'000'000ULL / baud_);
}

// The receiver gets host bytes once their last bit is through the line, and its answers
// count from then, not from when this thread came round to it. When nothing that touches
// the receiver comes before that moment, it gets them at once, which is the same to it
// and saves a wake-up.
void PtyServer::FeedDue(Clock::time_point now) {
    while (!receiving_.empty() &&
           (receiving_.front().wire_end <= now || QuietUntil(receiving_.front().wire_end))) {
        const Received& piece = receiving_.front();
        {
            std::lock_guard<std::mutex> lock(model_mutex_);
            receiver_.Feed(piece.bytes.data(), piece.bytes.size());
            Schedule(receiver_.TakeOutput(), piece.wire_end);
        }
        const bool frame = piece.bytes.size() > 3 && piece.bytes[0] == kFrameStart;
        Record({false, false, piece.bytes.size(), frame ? piece.bytes[3] : std::uint8_t{0},
                piece.ready, piece.wire_end, now});
        receiving_.pop_front();
    }
}

// Whether the receiver sees nothing before `until` but host bytes: no NMEA line falls
// due, no plug or unplug comes, and no hang-up or reboot is on its way to the line. (At
// the same moment, plugging is followed before bytes are fed, and a line after them.)
bool PtyServer::QuietUntil(Clock::time_point until) const {
    const auto ends_line = [](const Outgoing& piece) { return piece.hangup || piece.restart; };
    return TickAt() >= until && !(plug_at_ && *plug_at_ <= until) &&
           !(unplug_at_ && *unplug_at_ <= until) &&
           std::none_of(waiting_.begin(), waiting_.end(),
                        [&](const auto& entry) { return ends_line(entry.second); }) &&
           std::none_of(sending_.begin(), sending_.end(),
                        [&](const Sending& entry) { return ends_line(entry.piece); });
}

// An NMEA line counts from when it was due, not from when this thread came round to it.
void PtyServer::TickDue(Clock::time_point now) {
    const Clock::time_point due = TickAt();
    if (now < due) return;
    std::lock_guard<std::mutex> lock(model_mutex_);
    receiver_.Tick(std::chrono::duration_cast<milliseconds>(now - start_));
    Schedule(receiver_.TakeOutput(), due);
}

Clock::time_point PtyServer::TickAt() const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    const milliseconds tick = receiver_.NextTick();
    return tick == milliseconds::max() ? Clock::time_point::max() : start_ + tick;
}

void PtyServer::Schedule(std::vector<Outgoing> pieces, Clock::time_point base) {
    for (Outgoing& piece : pieces)
        waiting_.emplace(base + piece.delay, std::move(piece));
}

// Pieces go on the line in the order they become ready, each after the one before. By
// `now` everything ready earlier is known: the loop woke for each NMEA line and host
// piece due before it.
void PtyServer::PutDueOnLine(Clock::time_point now) {
    while (!waiting_.empty() && waiting_.begin()->first <= now) {
        const auto ready = waiting_.begin()->first;
        Outgoing piece = std::move(waiting_.begin()->second);
        waiting_.erase(waiting_.begin());
        const auto wire_end = std::max(ready, send_free_) + WireTime(piece.bytes.size());
        send_free_ = wire_end;
        sending_.push_back({std::move(piece), ready, wire_end});
    }
}

// False once a hang-up closed the line.
bool PtyServer::WriteDue(Clock::time_point now) {
    while (!sending_.empty() && sending_.front().wire_end <= now) {
        const Sending& sending = sending_.front();
        const Outgoing& piece = sending.piece;
        if (piece.hangup) {
            running_.store(false, std::memory_order_release);
            CloseLine();
            return false;
        }
        if (piece.restart && plugging_.replug_on_reset) {
            Unplug("rebooting after the reset");
            plug_at_ = now + *plugging_.replug_on_reset;
            return true;
        }
        // Unplugged, the line takes nothing: what the receiver says meanwhile is lost.
        if (master_ >= 0 && (!piece.nmea || Backlog() < kMaxNmeaBacklog)) {
            unsent_.push_back({std::move(sending_.front()), 0});
        } else {
            Record({true, piece.nmea, piece.bytes.size(), 0, sending.ready, sending.wire_end,
                    Clock::now()});
        }
        sending_.pop_front();
    }
    Flush();
    return true;
}

Clock::time_point PtyServer::NextDue(Clock::time_point now) const {
    auto next = now + kIdleWait;
    if (!receiving_.empty()) next = std::min(next, receiving_.front().wire_end);
    // A piece still waiting goes on the line and out in one wake-up, when its bytes are
    // through; whatever could come before it is due earlier and wakes the loop first.
    if (!waiting_.empty()) {
        const auto& [ready, piece] = *waiting_.begin();
        next = std::min(next, std::max(ready, send_free_) + WireTime(piece.bytes.size()));
    }
    if (!sending_.empty()) next = std::min(next, sending_.front().wire_end);
    if (plug_at_) next = std::min(next, *plug_at_);
    if (unplug_at_) next = std::min(next, *unplug_at_);
    return std::min(next, TickAt());
}

// Each read is one piece on the line, after the piece before it.
void PtyServer::ReadHost() {
    std::uint8_t buffer[512];
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            const auto now = Clock::now();
            const auto count = static_cast<std::size_t>(n);
            receive_free_ = std::max(now, receive_free_) + WireTime(count);
            receiving_.push_back({{buffer, buffer + count}, now, receive_free_});
            FeedDue(now);
            if (count < sizeof buffer) return;  // the rest comes with the next wake-up
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n == 0) errno = EIO;
        StopWithFailure("reading from " + slave_path_);
        return;
    }
}

// Writes what the host takes, in order, without waiting; the rest goes when the master
// has room again. A piece is done when its last byte is written.
void PtyServer::Flush() {
    while (!unsent_.empty()) {
        Unsent& unsent = unsent_.front();
        const std::vector<std::uint8_t>& bytes = unsent.sending.piece.bytes;
        if (unsent.written == bytes.size()) {  // a reboot's piece has no bytes at all
            const Sending& sending = unsent.sending;
            Record({true, sending.piece.nmea, bytes.size(), 0, sending.ready, sending.wire_end,
                    Clock::now()});
            unsent_.pop_front();
            continue;
        }
        const ssize_t n =
            write(master_, bytes.data() + unsent.written, bytes.size() - unsent.written);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return;
        if (n < 0) {
            StopWithFailure("writing to " + slave_path_);
            return;
        }
        unsent.written += static_cast<std::size_t>(n);
    }
}

// Bytes the host has not read yet: those written to the master, which the server's own
// slave can count without taking them, and those still waiting to be written.
std::size_t PtyServer::Backlog() const {
    int unread = 0;
    std::size_t backlog =
        ioctl(slave_, FIONREAD, &unread) == 0 ? static_cast<std::size_t>(unread) : 0;
    for (const Unsent& unsent : unsent_)
        backlog += unsent.sending.piece.bytes.size() - unsent.written;
    return backlog;
}

void PtyServer::Record(LineEvent event) {
    if (!record_line_) return;
    std::lock_guard<std::mutex> lock(model_mutex_);
    line_record_.push_back(event);
}

std::vector<LineEvent> PtyServer::LineRecord() const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    return line_record_;
}

void PtyServer::StopWithFailure(const std::string& what) {
    StopWith(what + ": " + std::strerror(errno));
}

void PtyServer::StopWith(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        failure_ = reason;
    }
    running_.store(false, std::memory_order_release);
}

}  // namespace k7::sim
