// Serves a Receiver on a pseudo-terminal: a host opens the slave side as its serial port.
// One thread polls the master, feeds what the host sends to the model, and writes the
// model's answers (at their due time) and NMEA lines. With a line rate set, bytes in
// both directions take their time on the line as they would on a serial cable. The
// server keeps the slave open itself, so hosts can come and go without the master ever
// seeing a hang-up.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
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
    Clock::time_point done;      // actually fed to the receiver / written to the host
};

// When the receiver appears at its link and disappears from it, as a USB receiver does when
// it is plugged in, pulled out, or reboots. An unplug hangs up the line: a host's open port
// sees the device gone, and the link's name no longer opens.
struct Plugging {
    std::chrono::milliseconds plug_after{0};                // from Start to the link's making
    std::optional<std::chrono::milliseconds> unplug_after;  // from Start; then the server stops
    // After a reset that boots a new image: unplug, and plug in again this much later on a
    // new pseudo-terminal at the same link, the receiver's memory and version kept.
    std::optional<std::chrono::milliseconds> replug_on_reset;
    std::function<void(const std::string&)> notice;  // told of each plug and unplug; may be empty
};

class PtyServer {
public:
    // `link_path`, when not empty, is made a symbolic link to the slave while the receiver
    // is plugged in (an existing symbolic link there is replaced).
    explicit PtyServer(Options options, std::string link_path = {}, Plugging plugging = {});
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pseudo-terminal and starts serving. On failure returns false with what
    // failed in `error`, having released what it took. Call once.
    bool Start(std::string* error);
    // Stops serving, joins the thread, closes the pseudo-terminal and removes the link.
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

    void Serve();
    Clock::duration WaitFor(Clock::duration until_due) const;
    std::chrono::nanoseconds WireTime(std::size_t bytes) const;
    void FeedDue(Clock::time_point now);
    void Schedule(std::vector<Outgoing> pieces, Clock::time_point base);
    void PutDueOnLine(Clock::time_point now);
    bool WriteDue(Clock::time_point now);
    Clock::time_point NextDue(Clock::time_point now) const;
    bool ReadHost();
    int Backlog() const;
    void WriteWhole(const std::vector<std::uint8_t>& bytes);
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

    // The server thread's own: bytes on their way through the line model, each way.
    Clock::time_point start_;
    std::deque<Received> receiving_;
    Clock::time_point receive_free_;
    std::multimap<Clock::time_point, Outgoing> waiting_;  // equal times keep their order
    std::deque<Sending> sending_;
    Clock::time_point send_free_;

    int master_ = -1;
    int slave_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::string slave_path_;
    bool linked_ = false;
    // The server thread's own: when the link is next made, and when the unplug comes.
    std::optional<Clock::time_point> plug_at_;
    std::optional<Clock::time_point> unplug_at_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> unplugged_{false};
};

}  // namespace k7::sim
