// The one-line progress bar of `korvel7 program`, on standard error: phase, percent,
// bytes per second on the line and the time left, redrawn in place at most ten times a
// second. Standard output carries the log, untouched.
//
// When both streams show on the same terminal, the bar gives way to the log: it is wiped
// before log text is written and drawn again only when the log is at the start of a
// line, so neither ever overwrites the other.
#pragma once

#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "log/log.h"
#include "update/progress.h"

namespace k7 {

class ProgressBar final : public LogSink {
public:
    using Clock = std::chrono::steady_clock;

    // The bar goes to `out`, the log to `log_out`; `shared_terminal` when both show on
    // the same terminal, `columns` wide.
    ProgressBar(std::FILE* out, std::FILE* log_out, bool shared_terminal, std::size_t columns);

    // The progress callback of the update.
    void Update(const UpdateProgress& progress);
    // Ends the bar's line at the end of a run; nothing is drawn after it.
    void Finish();
    // The log sink, and the sink of the report that bypasses the log: writes the text to
    // `log_out`, around the bar.
    void Append(std::string_view text) override;

    // The bar's text for a state, without line control; public for tests.
    static std::string Render(const UpdateProgress& progress, double bytes_per_second,
                              Clock::duration elapsed);

private:
    double Rate(Clock::time_point now, std::uint64_t line_bytes);
    void Draw(const std::string& text);
    void Wipe();

    std::mutex mutex_;  // the log may come from the receiving thread
    std::FILE* const out_;
    std::FILE* const log_out_;
    const bool shared_terminal_;
    const std::size_t room_;  // the bar's longest text: a wrapped one could not be redrawn
    const Clock::time_point start_;
    Clock::time_point last_draw_{};
    UpdatePhase last_phase_ = UpdatePhase::kProbe;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
    std::size_t drawn_width_ = 0;  // characters of the bar now on screen, 0 when none
    bool log_at_line_start_ = true;
    std::string last_text_;
    bool finished_ = false;
};

}  // namespace k7
