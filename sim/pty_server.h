// Serves a Receiver on a pseudo-terminal: a host opens the slave side as its serial port.
// A thread polls the master, feeds what the host sends to the model, and writes the
// model's answers (at their due time) and NMEA lines. With a line rate set, bytes in
// both directions take their time on the line as they would on a serial cable. The
// server keeps the slave open itself, so hosts can come and go without the master ever
// seeing a hang-up. One thread (a LineLoop) can serve many receivers at once.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/receiver.h"

namespace k7::sim {

using Clock = std::chrono::steady_clock;

// One piece of bytes that crossed the line, for measuring a host against the line's own
// timing. Pieces to the receiver are what one read of the host's bytes returned.
struct LineEvent {
    bool to_host = false;
    bool nmea = false;
    std::size_t bytes = 0;
    std::uint8_t command = 0;    // to the receiver: the code of the frame the piece starts with
    Clock::time_point ready;     // read from the host / made ready by the receiver
    Clock::time_point wire_end;  // its last byte through the line model
    Clock::time_point done;      // actually fed to the receiver / its last byte written
};

// How one direction of a recorded line kept the line model: the wire time its schedule
// gave the pieces (each from when it was ready and the line free, to its wire_end)
// against what their bytes take at 10 bits a byte, and how each piece's actual delivery
// stood to its wire_end.
struct LineKeeping {
    std::chrono::nanoseconds given{0};
    std::chrono::nanoseconds model{0};
    std::size_t early = 0;      // pieces delivered before their wire_end (see KeepingOf)
    Clock::duration latest{0};  // the latest delivery after its wire_end
    double Deviation() const;   // given over model, less one; 0 without pieces
};
LineKeeping KeepingOf(const std::vector<LineEvent>& record, bool to_host, std::uint32_t baud);

// When the receiver appears at its link and disappears from it, as a USB receiver does when
// it is plugged in, pulled out, or reboots. An unplug hangs up the line: a host's open port
// sees the device gone, and the link's name no longer opens.
struct Plugging {
    std::chrono::milliseconds plug_after{0};                // from Start to the link's making
    std::optional<std::chrono::milliseconds> unplug_after;  // from Start; then the server stops
    // After a reset that boots a new image: unplug, and plug in again this much later on a
    // new pseudo-terminal at the same link, the receiver's memory and version kept.
    std::optional<std::chrono::milliseconds> replug_on_reset;
    // Told of each plug and unplug, on the serving thread (so it must not stop a server);
    // may be empty.
    std::function<void(const std::string&)> notice;
};

class PtyServer;

// One thread that serves any number of PtyServers: one ppoll over every line's
// pseudo-terminal and a wake-up descriptor, sleeping until the earliest moment any line
// has something due. It never spins: a wake-up that comes late delays that moment's
// pieces, never the schedule of those after them, which runs on the model's own times.
class LineLoop {
public:
    LineLoop() = default;
    ~LineLoop();
    LineLoop(const LineLoop&) = delete;
    LineLoop& operator=(const LineLoop&) = delete;

    bool Start(std::string* error);
    // Stops the thread; stop the servers first (a server left on it is no longer served).
    void Stop();
    // The CPU time the thread has used so far; zero when it is not running.
    std::chrono::nanoseconds CpuTime();

private:
    friend class PtyServer;
    bool Add(PtyServer& line, std::string* error);
    // Once this returns, the thread no longer touches `line`.
    void Remove(PtyServer& line);
    void Wake();
    void Serve();
    // Serves every line that is due at `now`; returns when the next line is due, and
    // which lines to poll for the host's bytes, into `fds` and `polled`.
    Clock::time_point ServeDue(Clock::time_point now, std::vector<pollfd>& fds,
                               std::vector<PtyServer*>& polled);

    std::mutex mutex_;  // guards the fields below; the thread holds it while serving lines
    std::vector<PtyServer*> lines_;
    std::uint64_t generation_ = 0;  // counts changes to lines_
    bool stopping_ = false;
    int wake_ = -1;  // an eventfd
    std::thread thread_;
};

class PtyServer {
public:
    // `link_path`, when not empty, is made a symbolic link to the slave while the receiver
    // is plugged in (an existing symbolic link there is replaced).
    explicit PtyServer(Options options, std::string link_path = {}, Plugging plugging = {});
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Has `loop` serve this receiver, rather than a thread of its own; call before Start.
    // The loop must be running at Start and outlive this server's Stop.
    void ServeOn(LineLoop& loop) { loop_ = &loop; }
    // Opens the pseudo-terminal and starts serving. On failure returns false with what
    // failed in `error`, having released what it took. Call once.
    bool Start(std::string* error);
    // Stops serving, closes the pseudo-terminal and removes the link.
    void Stop();
    // False before Start, after Stop, and once the server stopped on its own: after a
    // hang-up fault closed the line, after the unplug of Plugging::unplug_after (then
    // Unplugged() is true), or on a failure that Failure() then describes.
    bool Running() const { return running_.load(std::memory_order_acquire); }
    bool Unplugged() const { return unplugged_.load(std::memory_order_acquire); }
    std::string Failure() const;

    // The slave's device path, for a host to open; empty before Start, new at each replug.
    std::string SlavePath() const;

    // Keeps a LineEvent for every piece from Start on; call before Start.
    void RecordLine() { record_line_ = true; }
    std::vector<LineEvent> LineRecord() const;

    // Runs `inspect` on the model while the server thread is kept out, and returns its
    // result, which must be a copy (a vector, a count), not a reference into the model.
    template <typename F>
    auto Inspect(F&& inspect) const {
        std::lock_guard<std::mutex> lock(model_mutex_);
        return inspect(static_cast<const Receiver&>(receiver_));
    }

private:
    friend class LineLoop;
    bool OpenLine(std::string* error);
    bool ClearOldLink(std::string* error);
    bool CreateLink(std::string* error);
    void RemoveLink();
    void CloseLine();
    void Unplug(const std::string& why);
    bool FollowPlugging(Clock::time_point now);
    struct Received {
        std::vector<std::uint8_t> bytes;
        Clock::time_point ready;
        Clock::time_point wire_end;
    };
    struct Sending {
        Outgoing piece;
        Clock::time_point ready;
        Clock::time_point wire_end;
    };
    struct Unsent {
        Sending sending;
        std::size_t written = 0;  // of its bytes, so far
    };

    // The loop's calls: everything due at `now`, false once the server stopped; then what
    // polling the master found.
    bool Advance(Clock::time_point now);
    void TakeInput(short revents);
    std::chrono::nanoseconds WireTime(std::size_t bytes) const;
    void FeedDue(Clock::time_point now);
    bool QuietUntil(Clock::time_point until) const;
    void TickDue(Clock::time_point now);
    Clock::time_point TickAt() const;  // time_point::max() when no NMEA line is coming
    void Schedule(std::vector<Outgoing> pieces, Clock::time_point base);
    void PutDueOnLine(Clock::time_point now);
    bool WriteDue(Clock::time_point now);
    Clock::time_point NextDue(Clock::time_point now) const;
    void ReadHost();
    std::size_t Backlog() const;
    void Flush();
    void Record(LineEvent event);
    void StopWithFailure(const std::string& what);  // `what` failed, for errno's reason
    void StopWith(const std::string& reason);

    const std::string link_path_;
    const Plugging plugging_;
    const std::uint32_t baud_;
    mutable std::mutex model_mutex_;  // guards receiver_, failure_, line_record_, slave_path_
    Receiver receiver_;
    std::string failure_;
    bool record_line_ = false;
    std::vector<LineEvent> line_record_;

    // The serving thread's own: bytes on their way through the line model, each way.
    Clock::time_point start_;
    std::deque<Received> receiving_;
    Clock::time_point receive_free_;
    std::multimap<Clock::time_point, Outgoing> waiting_;  // equal times keep their order
    std::deque<Sending> sending_;
    Clock::time_point send_free_;
    std::deque<Unsent> unsent_;  // through the line model, not yet taken by the host

    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    bool linked_ = false;
    // The serving thread's own: when the link is next made, and when the unplug comes.
    std::optional<Clock::time_point> plug_at_;
    std::optional<Clock::time_point> unplug_at_;
    LineLoop* loop_ = nullptr;
    std::unique_ptr<LineLoop> own_loop_;  // the loop of a server given none
    bool serving_ = false;                // on loop_, between Start and Stop
    std::atomic<bool> running_{false};
    std::atomic<bool> unplugged_{false};
};

}  // namespace k7::sim
