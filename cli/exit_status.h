// korvel7's exit statuses, for every command, and the rule that maps jobs to them.
#pragma once

#include <vector>

#include "update/failure.h"

namespace k7 {

inline constexpr int kExitOk = 0;        // every job did what was asked
inline constexpr int kExitFailed = 1;    // a job failed, was stopped or lost its log
inline constexpr int kExitNotFound = 2;  // no receiver was found on any port
inline constexpr int kExitUsage = 64;    // the command line was refused; nothing was sent

// One job's status. A job that did its work but lost its log file lost data: it fails.
inline int ExitStatus(Failure failure, bool log_lost = false) {
    if (failure == Failure::kNotFound) return kExitNotFound;
    return failure == Failure::kNone && !log_lost ? kExitOk : kExitFailed;
}

// Several jobs' status: 0 when every one did its work, 2 when none found a receiver.
inline int OverallStatus(const std::vector<int>& statuses) {
    bool all_ok = true;
    bool none_found = true;
    for (const int status : statuses) {
        all_ok = all_ok && status == kExitOk;
        none_found = none_found && status == kExitNotFound;
    }
    return all_ok ? kExitOk : none_found ? kExitNotFound : kExitFailed;
}

}  // namespace k7
