// What several ports' jobs show on standard error: a live line per port while they run,
// and a table once all have ended. Every line fits the terminal's width, so a redraw in
// place always moves up exactly the lines it drew.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/job_result.h"
#include "cli/terminal.h"

namespace k7 {

struct LiveRow {
    std::string label;  // the port's name, as given
    std::string state;  // the bar while the job runs, its end once it ended
    bool ended = false;
};

class LiveLines {
public:
    LiveLines(std::FILE* out, const TerminalInfo& terminal);

    // On a terminal that redraws, draws every row over the last drawing. On one that does
    // not, writes a plain line for each row that ended since, and nothing else.
    void Draw(const std::vector<LiveRow>& rows);

private:
    std::FILE* const out_;
    const TerminalInfo terminal_;
    std::size_t drawn_ = 0;       // rows on screen to move up over
    std::vector<bool> reported_;  // plain lines already written
};

// A row's text in fewer than `columns` bytes: the printable name, elided in the middle
// when the state would not fit beside it, then the state.
std::string FitRow(const LiveRow& row, std::size_t columns);

// How a job ended, for its last live line: "updated  31.2 s", "failed at erase  4.0 s".
std::string EndText(const JobResult& job, JobKind kind);

// The table of every job's end, its port column as wide as the names and the width allow.
void PrintTable(std::FILE* out, const std::vector<const JobResult*>& jobs, JobKind kind,
                std::size_t columns);

}  // namespace k7
