// Address programming: writes the lower three bytes of the receiver's six-byte device
// address (the upper three are fixed at 00:19:01) and reads the address back to compare.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace k7 {

class Link;
enum class Exchange;

// The three address bytes as typed, in field order.
using InputAddress = std::array<std::uint8_t, 3>;

bool IsHexDigit(char c);
int HexDigitValue(char c);
// A field holds exactly two hexadecimal digits, nothing trimmed; true with the value in
// `*value` (when not null).
bool ParseHexPair(const std::string& text, std::uint8_t* value);

struct AddressTimings {
    std::chrono::milliseconds after_open{500};
    std::chrono::milliseconds after_write{1000};
};

// Writes the address (command 8) and reads it back (command 200); logs each step. The
// read-back runs whatever the write gave. True only when the address read back equals
// `address`.
bool WriteAddress(Link& link, const InputAddress& address);
bool ReadAddress(Link& link, const InputAddress& address);

// The device address as the receiver reports it (command 200): the six bytes after the
// reply's code. When no usable reply came, logs why (a stopped exchange logs nothing);
// kOtherKind also for a reply too short to hold the address.
Exchange QueryDeviceAddress(Link& link, std::array<std::uint8_t, 6>* address);

}  // namespace k7
