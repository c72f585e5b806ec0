#include "update/firmware_version.h"

#include "link/link.h"
#include "log/log.h"

namespace k7 {

bool QueryFirmwareVersion(Link& link, FirmwareVersion* version) {
    link.ClearResponseState();
    if (link.SendCommand(kCmdVersion, nullptr, 0) == 0) {
        if (!link.Cancelled()) LogPrintf("command failed\r\n");
        return false;
    }
    const Response reply = link.LastResponse();
    if (reply.kind != kRspData || reply.data[0] != kCmdVersion) return false;
    version->major = reply.data[1];
    version->minor = reply.data[2];
    version->patch = reply.data[3];
    return true;
}

void LogExistingVersion(const FirmwareVersion& version) {
    LogPrintf("Existing FW version: %u.%u.%u\r\n", unsigned{version.major}, unsigned{version.minor},
              unsigned{version.patch});
}

void LogNoExistingVersion() {
    LogPrintf("fail to get existing firmware version.\r\n");
}

}  // namespace k7
