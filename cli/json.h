// The JSON lines of --json: one object per port, always valid UTF-8 JSON.
#pragma once

#include <string>
#include <string_view>

#include "cli/job_result.h"

namespace k7 {

// `text` as a JSON string: quotes, backslashes and control characters escaped, and each
// byte that is not part of well-formed UTF-8 replaced by U+FFFD, so that a port name of
// any bytes still makes a line every JSON reader takes.
std::string JsonString(std::string_view text);

// The job's object and a line end.
std::string JsonLine(const JobResult& job, JobKind kind);

}  // namespace k7
