// udev rules as korvel7 writes and reads them: the rule that lets the user at the seat
// open a receiver and keeps ModemManager off it, and what a rule line says.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ports/ports.h"

namespace k7 {

// Where `korvel7 udev-rule` tells to install its rule; below 73, so that uaccess applies.
inline constexpr char kRuleFile[] = "/etc/udev/rules.d/70-korvel7.rules";

// The rule file for the receiver `usb`, comment header first; with `bind_serial`, for that
// one unit only. Empty, with the reason in `error`, when the unit has no serial number or
// one that cannot be written into a rule safely.
std::string UdevRuleFile(const UsbIdentity& usb, bool bind_serial, std::string* error);

struct UsbId {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    bool operator==(const UsbId&) const = default;
};

// The USB device a rule line marks ID_MM_DEVICE_IGNORE="1" for, by its idVendor and
// idProduct; none when it names no such device or does not set the mark.
std::optional<UsbId> IgnoredUsbDevice(std::string_view line);

// Whether udev applies a rule file named so before 73-seat-late.rules turns the uaccess tag
// into the seat user's access.
bool BeforeUaccess(std::string_view file_name);

}  // namespace k7
