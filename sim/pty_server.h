// Serves a Receiver on a pseudo-terminal: a host opens the slave side as its serial port.
// One thread polls the master, feeds what the host sends to the model, and writes the
// model's answers (at their due time) and NMEA lines. The server keeps the slave open
// itself, so hosts can come and go without the master ever seeing a hang-up.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "sim/receiver.h"

namespace k7::sim {

class PtyServer {
public:
    // `link_path`, when not empty, is made a symbolic link to the slave for the server's
    // lifetime (an existing symbolic link there is replaced).
    explicit PtyServer(Options options, std::string link_path = {});
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pseudo-terminal and starts serving. On failure returns false with what
    // failed in `error`, having released what it took. Call once.
    bool Start(std::string* error);
    // Stops serving, joins the thread, closes the pseudo-terminal and removes the link.
    void Stop();
    // False before Start, after Stop, and once the server stopped on its own: after a
    // hang-up fault closed the line, or on a failure that Failure() then describes.
    bool Running() const { return running_.load(std::memory_order_acquire); }
    std::string Failure() const;

    // The slave's device path, for a host to open; empty before Start.
    const std::string& SlavePath() const { return slave_path_; }

    // Runs `inspect` on the model while the server thread is kept out, and returns its
    // result, which must be a copy (a vector, a count), not a reference into the model.
    template <typename F>
    auto Inspect(F&& inspect) const {
        std::lock_guard<std::mutex> lock(model_mutex_);
        return inspect(static_cast<const Receiver&>(receiver_));
    }

private:
    bool OpenLine(std::string* error);
    bool CreateLink(std::string* error);
    void RemoveLink();
    void CloseLine();
    void Serve();
    bool ReadHost();
    int Backlog() const;
    void WriteWhole(const std::vector<std::uint8_t>& bytes);
    void StopWithFailure(const std::string& what);

    const std::string link_path_;
    mutable std::mutex model_mutex_;  // guards receiver_ and failure_
    Receiver receiver_;
    std::string failure_;

    int master_ = -1;
    int slave_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::string slave_path_;
    bool linked_ = false;
    std::thread thread_;
    std::atomic<bool> running_{false};
};

}  // namespace k7::sim
