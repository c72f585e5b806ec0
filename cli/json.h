// The JSON lines of --json: one object per port, always valid UTF-8 JSON.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/job_result.h"
#include "ports/ports.h"

namespace k7 {

// `text` as a JSON string: quotes, backslashes and control characters escaped, and each
// byte that is not part of well-formed UTF-8 replaced by U+FFFD, so that a port name of
// any bytes still makes a line every JSON reader takes.
std::string JsonString(std::string_view text);

// A port's USB identity as a JSON value: {"vid":"1209","pid":"000c","serial":...,
// "location":...,"by_path":...} with null for what the system does not know, or null for a
// port that is not known as a USB port.
std::string UsbJson(const std::optional<UsbIdentity>& usb);

// Who the receiver of a finished job is, as fields to append to its object: ,"usb":...
// (UsbJson) and ,"device_address":"00:19:01:XX:XX:XX" (null when it did not give it).
std::string IdentityFields(const std::optional<UsbIdentity>& usb,
                           const std::optional<std::array<std::uint8_t, 6>>& address);

// The job's object and a line end.
std::string JsonLine(const JobResult& job, JobKind kind);

// `korvel7 ports --json`: {"port":...,"description":...,"usb":...} and a line end; the
// description is the friendly name, null when there is none.
std::string PortJsonLine(const SerialPort& port);

}  // namespace k7
