#include "update/firmware_version.h"

#include "link/link.h"
#include "log/log.h"

namespace k7 {

namespace {

// The reply: its code, major, minor and patch, then the checksum byte.
constexpr int kVersionReplyLength = 5;

}  // namespace

Exchange QueryFirmwareVersion(Link& link, FirmwareVersion* version) {
    link.ClearResponseState();
    const Exchange end =
        link.Ask(kCmdVersion, nullptr, 0, {kRspData, kCmdVersion, kVersionReplyLength});
    if (end == Exchange::kNoAnswer || end == Exchange::kDeviceGone) LogPrintf("command failed\r\n");
    if (end != Exchange::kAnswered) return end;
    const Response reply = link.LastResponse();
    version->major = reply.data[1];
    version->minor = reply.data[2];
    version->patch = reply.data[3];
    return end;
}

void LogExistingVersion(const FirmwareVersion& version) {
    LogPrintf("Existing FW version: %u.%u.%u\r\n", unsigned{version.major}, unsigned{version.minor},
              unsigned{version.patch});
}

void LogNoExistingVersion() {
    LogPrintf("fail to get existing firmware version.\r\n");
}

}  // namespace k7
