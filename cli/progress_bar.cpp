#include "cli/progress_bar.h"

#include <cmath>

#include "cli/terminal.h"

namespace k7 {

namespace {

constexpr std::chrono::milliseconds kRedrawInterval{100};
// The rate is taken over the last few seconds, so the fixed waits fade out of it.
constexpr std::chrono::seconds kRateWindow{3};
constexpr std::size_t kBarCells = 24;

std::string Duration(std::chrono::seconds time) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(time.count() / 60),
                  static_cast<long long>(time.count() % 60));
    return text;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, std::FILE* log_out, bool shared_terminal,
                         std::size_t columns)
    : out_(out),
      log_out_(log_out),
      shared_terminal_(shared_terminal),
      room_(columns > 1 ? columns - 1 : 1),
      start_(Clock::now()) {
    SetStdoutBinary();
}

std::string ProgressBar::Render(const UpdateProgress& progress, double bytes_per_second,
                                Clock::duration elapsed) {
    const auto filled = static_cast<std::size_t>(progress.fraction * kBarCells);
    std::string text = "[";
    text.append(filled, '#');
    text.append(kBarCells - filled, '-');
    text += "] ";
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%-7s %3d%%", PhaseName(progress.phase),
                  static_cast<int>(std::floor(progress.fraction * 100)));
    text += numbers;
    if (bytes_per_second > 0) {
        std::snprintf(numbers, sizeof numbers, "  %5.1f kB/s", bytes_per_second / 1000);
        text += numbers;
    }
    // The fraction runs with the time a run takes, so what is left follows from it.
    if (progress.fraction >= 0.01 && progress.fraction < 1) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(
            elapsed * ((1 - progress.fraction) / progress.fraction));
        text += "  " + Duration(left) + " left";
    }
    return text;
}

void ProgressBar::Update(const UpdateProgress& progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    const double rate = Rate(now, progress.line_bytes);
    const bool due = now - last_draw_ >= kRedrawInterval || progress.phase != last_phase_ ||
                     progress.fraction >= 1;
    if (!due || finished_) return;
    last_draw_ = now;
    last_phase_ = progress.phase;
    last_text_ = Render(progress, rate, now - start_).substr(0, room_);
    if (!shared_terminal_ || log_at_line_start_) Draw(last_text_);
}

void ProgressBar::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    finished_ = true;
    if (last_text_.empty()) return;
    // A run that ended at the probe found no receiver: its bar says nothing worth keeping.
    if (last_phase_ == UpdatePhase::kProbe) {
        Wipe();
        return;
    }
    if (shared_terminal_ && !log_at_line_start_) return;  // the log's line ends it
    Draw(last_text_);
    std::fputc('\n', out_);
    std::fflush(out_);
    drawn_width_ = 0;
}

void ProgressBar::Append(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shared_terminal_) Wipe();
    std::fwrite(text.data(), 1, text.size(), log_out_);
    std::fflush(log_out_);
    if (text.empty()) return;
    log_at_line_start_ = text.back() == '\n';
    if (shared_terminal_ && log_at_line_start_ && !last_text_.empty() && !finished_)
        Draw(last_text_);
}

double ProgressBar::Rate(Clock::time_point now, std::uint64_t line_bytes) {
    samples_.emplace_back(now, line_bytes);
    while (now - samples_.front().first > kRateWindow)
        samples_.pop_front();
    const auto span = std::chrono::duration<double>(now - samples_.front().first).count();
    if (span < 0.5) return 0;
    return static_cast<double>(line_bytes - samples_.front().second) / span;
}

// Written over the old bar; spaces clear what a longer old one leaves.
void ProgressBar::Draw(const std::string& text) {
    std::string line = "\r";
    line += text;
    if (text.size() < drawn_width_) line.append(drawn_width_ - text.size(), ' ');
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    drawn_width_ = text.size();
}

void ProgressBar::Wipe() {
    if (drawn_width_ == 0) return;
    std::string blank = "\r";
    blank.append(drawn_width_, ' ');
    blank += '\r';
    std::fputs(blank.c_str(), out_);
    std::fflush(out_);
    drawn_width_ = 0;
}

}  // namespace k7
