#pragma once

#include <cstdint>

namespace k7 {

class Link;
enum class Exchange;

struct FirmwareVersion {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint8_t patch = 0;
    friend bool operator==(const FirmwareVersion&, const FirmwareVersion&) = default;
};

// Asks the receiver on the open link for its firmware version (command 27). Logs
// "command failed\r\n" when nothing answers (a stopped exchange logs nothing); kOtherKind
// for an answer of another kind or too short to hold the version.
Exchange QueryFirmwareVersion(Link& link, FirmwareVersion* version);

// The line every job logs after asking: the version it read, or that none came.
void LogExistingVersion(const FirmwareVersion& version);
void LogNoExistingVersion();

}  // namespace k7
