// `korvel7 station`: an unattended loop that updates each receiver as it is plugged in.
// Every port that appears among the watched ones is probed; a KORVEL7 there is updated
// once with program's procedure on a thread of its own, and its slot waits until the port
// goes away before it runs again. A receiver that re-enumerates after the reset it was
// sent is the same receiver: its new version is read, and it is not updated again.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli/jobs.h"
#include "update/firmware_version.h"

namespace k7 {

// How long after the reset order a receiver that goes away and comes back at the same
// slot counts as the same receiver starting its new firmware.
inline constexpr std::chrono::seconds kReenumerationWindow{10};

struct StationOptions {
    std::vector<std::string> patterns;  // empty: DefaultWatchPatterns()
    bool include_present = false;       // also update the ports present at the start
    std::string ledger;                 // a file to append a line per finished job to
    JobOptions job;                     // program's options; quiet, json and progress as well
};

// One plug of a receiver into a slot: program's job on it, and what followed the reset.
struct StationJob : PortJob {
    std::string slot;  // where the receiver is plugged in: its port
    std::optional<FirmwareVersion> version_after;
};

// The finished job as one JSON object, without a line end: what --json prints and the
// ledger keeps. `time` is ISO 8601 UTC, `host` this machine's name.
std::string StationRecord(const StationJob& job, const std::string& time, const std::string& host);

// This machine's name; empty when the system does not tell it.
std::string HostName();

// Watches until Ctrl-C or SIGTERM, then writes a summary to standard error. Returns 0
// when every job succeeded, 1 otherwise; 64 when the ledger or the log directory is refused.
int RunStationLoop(const StationOptions& options);

}  // namespace k7
