#include "cli/job_result.h"

#include <cstdio>

#include "update/update_worker.h"

namespace k7 {

std::string VersionText(const RunReport& report) {
    if (!report.version) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u", unsigned{report.version->major},
                  unsigned{report.version->minor}, unsigned{report.version->patch});
    return text;
}

std::string ResultText(const JobResult& job, JobKind kind) {
    const Failure failure = job.report.failure;
    if (failure == Failure::kNotFound) return "not found";
    if (failure == Failure::kDiffers) return "differs";
    if (failure != Failure::kNone) return "failed";
    switch (kind) {
        case JobKind::kProgram:
            return job.report.unchanged ? "unchanged" : "updated";
        case JobKind::kInfo:
            return "answered";
        case JobKind::kVerify:
            break;
    }
    return "matches";
}

const char* FailureText(const JobResult& job, JobKind kind) {
    if (job.report.failure == Failure::kNotFound) return kNotFoundText;
    switch (kind) {
        case JobKind::kProgram:
            return "update not successful";
        case JobKind::kInfo:
            return "no complete answer";
        case JobKind::kVerify:
            break;
    }
    return "verify not successful";
}

}  // namespace k7
