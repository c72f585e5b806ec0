#include "cli/job_result.h"

#include <cstdio>

namespace k7 {

std::string VersionText(const RunReport& report) {
    if (!report.version) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u", unsigned{report.version->major},
                  unsigned{report.version->minor}, unsigned{report.version->patch});
    return text;
}

std::string ResultText(const JobResult& job, JobKind kind) {
    if (job.outcome == UpdateOutcome::kNotFound) return "not found";
    const bool ok = job.outcome == UpdateOutcome::kSucceeded;
    switch (kind) {
        case JobKind::kProgram:
            return !ok ? "failed" : job.report.unchanged ? "unchanged" : "updated";
        case JobKind::kInfo:
            return ok ? "answered" : "failed";
        case JobKind::kVerify:
            if (ok) return "matches";
            return job.report.failed_step == "compare" && !job.report.stopped ? "differs"
                                                                              : "failed";
    }
    return "failed";
}

}  // namespace k7
