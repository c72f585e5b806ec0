// What a job on one port ends with, as the JSON line, the live lines and the table tell it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "cli/exit_status.h"
#include "cli/jobs.h"
#include "link/port.h"
#include "update/firmware_update.h"
#include "update/update_worker.h"

namespace k7 {

struct JobResult {
    PortRef port;
    RunReport report;
    std::array<std::uint8_t, 6> address{};
    bool address_read = false;
    UpdateOutcome outcome = UpdateOutcome::kNotFound;
    int status = kExitNotFound;
    double seconds = 0;
    std::string log_path;   // the file of --log-dir, empty when none was created
    bool log_lost = false;  // a log file was asked for and does not hold the whole log
};

// "2.4.5", or empty when the receiver gave no version.
std::string VersionText(const RunReport& report);
// updated, unchanged, answered, matches, differs, failed or not found.
std::string ResultText(const JobResult& job, JobKind kind);

}  // namespace k7
