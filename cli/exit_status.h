// korvel7's exit statuses, for every command.
#pragma once

namespace k7 {

inline constexpr int kExitOk = 0;        // every job did what was asked
inline constexpr int kExitFailed = 1;    // a job failed, was stopped or lost its log
inline constexpr int kExitNotFound = 2;  // no receiver was found on any port
inline constexpr int kExitUsage = 64;    // the command line was refused; nothing was sent

}  // namespace k7
