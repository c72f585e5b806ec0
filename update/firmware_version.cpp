#include "update/firmware_version.h"

#include "link/link.h"
#include "log/log.h"

namespace k7 {

bool QueryFirmwareVersion(Link& link, FirmwareVersion* version) {
    link.ClearResponseState();
    if (link.SendCommand(kCmdVersion, nullptr, 0) == 0) {
        LogPrintf("command failed\r\n");
        return false;
    }
    const auto data = link.ResponseData();
    if (link.ResponseState() != kRspData || data[0] != kCmdVersion) return false;
    version->major = data[1];
    version->minor = data[2];
    version->patch = data[3];
    return true;
}

}  // namespace k7
