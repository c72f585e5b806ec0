#include "service/address.h"

#include <algorithm>

#include "link/link.h"
#include "log/log.h"

namespace k7 {

namespace {

constexpr std::uint8_t kAddressPrefix[3] = {0x00, 0x19, 0x01};
constexpr std::uint8_t kAddressTrailer = 0x5C;
// The read-back reply: the command code, three bytes not looked at, the address, then the
// checksum byte.
constexpr int kReadReplyAddressAt = 4;
constexpr int kReadReplyLength = 8;

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
    // The reply holds at least its code and the checksum byte.
    const Exchange end =
        link.Ask(kCmdWriteAddress, payload, sizeof payload, {kRspData, kCmdWriteAddress, 2});
    if (end == Exchange::kAnswered) {
        LogPrintf("Command OK\r\n");
        return true;
    }
    if (end != Exchange::kOtherKind) {
        LogPrintf("Command Failed\r\n");
        return false;
    }
    LogPrintf("Command N.G.\r\n");
    return false;
}

// A data reply too short to hold the address counts as a wrong reply: its bytes 4 to 6
// would be whatever an earlier reply left in the buffer.
Exchange QueryDeviceAddress(Link& link, std::array<std::uint8_t, 6>* address) {
    const Exchange end =
        link.Ask(kCmdReadAddress, nullptr, 0, {kRspData, kCmdReadAddress, kReadReplyLength});
    if (end == Exchange::kOtherKind) LogPrintf("Read Addr N.G.\r\n");
    if (end == Exchange::kNoAnswer || end == Exchange::kDeviceGone) LogPrintf("command failed\r\n");
    if (end != Exchange::kAnswered) return end;
    const Response reply = link.LastResponse();
    std::copy_n(&reply.data[1], address->size(), address->begin());
    return end;
}

bool ReadAddress(Link& link, const InputAddress& address) {
    std::array<std::uint8_t, 6> reported;
    if (QueryDeviceAddress(link, &reported) != Exchange::kAnswered) return false;
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

}  // namespace k7
