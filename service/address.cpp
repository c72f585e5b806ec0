#include "service/address.h"

#include <algorithm>

#include "link/link.h"
#include "log/log.h"

namespace k7 {

namespace {

constexpr std::uint8_t kAddressPrefix[3] = {0x00, 0x19, 0x01};
constexpr std::uint8_t kAddressTrailer = 0x5C;
// The read-back reply: the command code, three bytes not looked at, the address.
constexpr int kReadReplyAddressAt = 4;
constexpr int kReadReplyLength = 7;

}  // namespace

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c - 'a' + 10;
}

bool ParseHexPair(const std::string& text, std::uint8_t* value) {
    if (text.size() != 2 || !IsHexDigit(text[0]) || !IsHexDigit(text[1])) return false;
    if (value != nullptr)
        *value = static_cast<std::uint8_t>(16 * HexDigitValue(text[0]) + HexDigitValue(text[1]));
    return true;
}

bool WriteAddress(Link& link, const InputAddress& address) {
    const std::uint8_t payload[7] = {kAddressPrefix[0], kAddressPrefix[1], kAddressPrefix[2],
                                     address[0],        address[1],        address[2],
                                     kAddressTrailer};
    if (link.SendCommand(kCmdWriteAddress, payload, sizeof payload) == 0) {
        LogPrintf("Command Failed\r\n");
        return false;
    }
    const Response reply = link.LastResponse();
    if (reply.kind == kRspData && reply.data[0] == kCmdWriteAddress) {
        LogPrintf("Command OK\r\n");
        return true;
    }
    LogPrintf("Command N.G.\r\n");
    return false;
}

// A data reply too short to hold the address counts as a wrong reply: its bytes 4 to 6
// would be whatever an earlier reply left in the buffer.
bool QueryDeviceAddress(Link& link, std::array<std::uint8_t, 6>* address) {
    if (link.SendCommand(kCmdReadAddress, nullptr, 0) == 0) {
        if (!link.Cancelled()) LogPrintf("command failed\r\n");
        return false;
    }
    const Response reply = link.LastResponse();
    // The recorded length counts the checksum byte after the data.
    const int data_length = reply.length - 1;
    if (reply.kind != kRspData || reply.data[0] != kCmdReadAddress ||
        data_length < kReadReplyLength) {
        LogPrintf("Read Addr N.G.\r\n");
        return false;
    }
    std::copy_n(&reply.data[1], address->size(), address->begin());
    return true;
}

bool ReadAddress(Link& link, const InputAddress& address) {
    std::array<std::uint8_t, 6> reported;
    if (!QueryDeviceAddress(link, &reported)) return false;
    const std::uint8_t* read = &reported[kReadReplyAddressAt - 1];
    LogPrintf("Read Addr OK    %02X:%02X:%02X\r\n", unsigned{read[0]}, unsigned{read[1]},
              unsigned{read[2]});
    if (read[0] == address[0] && read[1] == address[1] && read[2] == address[2]) {
        LogPrintf("================ PROGRAM OK ================\r\n");
        return true;
    }
    LogPrintf("################ PROGRAM FAIL ################\r\n");
    return false;
}

AddressOutcome AddressWorker(Link& link, const PortRef& port, const InputAddress& address,
                             AddressTimings timings) {
    if (link.OpenComPort(port) == 0) {
        LogPrintf("%s  NOT OPEN\r\n", port.label.c_str());
        return AddressOutcome::kNotOpened;
    }
    LogPrintf("PROGRAM %s... ", port.label.c_str());
    link.Pause(timings.after_open);
    WriteAddress(link, address);
    link.Pause(timings.after_write);
    const bool ok = ReadAddress(link, address);
    link.CloseComPort();
    return ok ? AddressOutcome::kProgramOk : AddressOutcome::kProgramFailed;
}

}  // namespace k7
