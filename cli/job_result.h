// What a job on one port ends with, as the JSON line, the live lines and the table tell it.
#pragma once

#include <optional>
#include <string>

#include "cli/exit_status.h"
#include "link/port.h"
#include "ports/ports.h"
#include "update/firmware_update.h"

namespace k7 {

enum class JobKind { kProgram, kInfo, kVerify };

struct JobResult {
    PortRef port;
    std::optional<UsbIdentity> usb;  // the port's, when it is known as a USB port
    RunReport report;                // what the job found and did, and why it failed
    double seconds = 0;
    std::string log_path;   // the file of --log-dir, empty when none was created
    bool log_lost = false;  // a log file was asked for and does not hold the whole log

    int Status() const { return ExitStatus(report.failure, log_lost); }
};

// "2.4.5", or empty when the receiver gave no version.
std::string VersionText(const RunReport& report);
// updated, unchanged, answered, matches, differs, failed or not found.
std::string ResultText(const JobResult& job, JobKind kind);
// What --quiet says on standard error of a job that did not succeed.
const char* FailureText(const JobResult& job, JobKind kind);

}  // namespace k7
