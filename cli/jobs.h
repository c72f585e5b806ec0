// The jobs `korvel7 program`, `info` and `verify` run on one or more ports at once. Each
// port gets a thread, a link and a log of its own: a failure, hang-up or unplug on one
// port never stops, slows or garbles another, and Ctrl-C cancels them all, each ending
// with its own failure.
#pragma once

#include <string>
#include <vector>

#include "link/port.h"

namespace k7 {

enum class JobKind { kProgram, kInfo, kVerify };

struct JobOptions {
    JobKind kind = JobKind::kProgram;
    bool quiet = false;
    bool progress = false;  // a bar (one port) or a live line per port, on standard error
    bool strict = false;
    bool skip_if_current = false;
    bool json = false;    // one JSON object per port on standard output instead of the log
    std::string log_dir;  // when set, each port's whole log goes to a file of its own there
};

// Runs the job on every port and returns the exit status: 0 when every port succeeded, 2
// when no receiver was found on any, 1 otherwise.
int RunJobs(const std::vector<PortRef>& ports, const JobOptions& options);

}  // namespace k7
