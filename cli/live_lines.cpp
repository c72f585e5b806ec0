#include "cli/live_lines.h"

#include <algorithm>

namespace k7 {

namespace {

// A name keeps this much however long the state beside it.
constexpr std::size_t kMinName = 12;
// The table's columns after the port: version, image, result and duration.
constexpr std::size_t kTableRest = 37;
constexpr std::size_t kMinPortColumn = 16;

}  // namespace

LiveLines::LiveLines(std::FILE* out, const TerminalInfo& terminal)
    : out_(out), terminal_(terminal) {}

void LiveLines::Draw(const std::vector<LiveRow>& rows) {
    std::string text;
    if (terminal_.redraws) {
        if (drawn_ > 0) text = "\x1b[" + std::to_string(drawn_) + "A";
        for (const LiveRow& row : rows)
            text += "\r\x1b[K" + FitRow(row, terminal_.columns) + "\n";
        drawn_ = rows.size();
    } else {
        reported_.resize(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (!rows[i].ended || reported_[i]) continue;
            reported_[i] = true;
            text += FitRow(rows[i], terminal_.columns) + "\n";
        }
    }
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

// One column short of the width: a line that fills the last column wraps on some terminals.
std::string FitRow(const LiveRow& row, std::size_t columns) {
    const std::size_t room = columns > 1 ? columns - 1 : 1;
    const std::size_t beside = row.state.size() + 2;
    const std::size_t name_room = room > beside + kMinName ? room - beside : kMinName;
    std::string line = ElideMiddle(Printable(row.label), name_room) + "  " + row.state;
    if (line.size() > room) line.resize(room);
    return line;
}

std::string EndText(const JobResult& job, JobKind kind) {
    std::string text = ResultText(job, kind);
    if (text == "failed" && job.report.failed_step != Step::kNone)
        text += std::string(" at ") + StepName(job.report.failed_step);
    if (job.log_lost) text += ", log lost";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "  %.1f s", job.seconds);
    return text + seconds;
}

void PrintTable(std::FILE* out, const std::vector<const JobResult*>& jobs, JobKind kind,
                std::size_t columns) {
    std::size_t longest = 0;
    for (const JobResult* job : jobs)
        longest = std::max(longest, Printable(job->port.label).size());
    const std::size_t room = columns > kTableRest + 5 ? columns - 1 - kTableRest : 4;
    const int width = static_cast<int>(std::min(std::max(longest, kMinPortColumn), room));
    std::fprintf(out, "%-*s %-9s %-6s %-10s %s\n", width, "port", "version", "image", "result",
                 "duration");
    for (const JobResult* job : jobs) {
        const std::string port = ElideMiddle(Printable(job->port.label), std::size_t(width));
        const std::string version = VersionText(job->report);
        const std::string image = job->report.image != 0 ? std::string(1, job->report.image) : "-";
        std::fprintf(out, "%-*s %-9s %-6s %-10s %.1f s\n", width, port.c_str(),
                     version.empty() ? "-" : version.c_str(), image.c_str(),
                     ResultText(*job, kind).c_str(), job->seconds);
    }
}

}  // namespace k7
