#include <cctype>
#include <climits>
#include <cstdio>
#include <utility>

#include "ports/ports.h"

namespace k7 {

namespace {

// The number the list has always taken for an entry: the decimal integer from its fourth
// character on (just after "COM"), with leading blanks and a sign as atoi takes them, 0
// without digits; none for an entry of fewer than four characters.
std::optional<int> EntryPortNumber(const std::string& entry) {
    if (entry.size() < 4) return std::nullopt;
    std::size_t i = 3;
    while (i < entry.size() && std::isspace(static_cast<unsigned char>(entry[i])))
        ++i;
    bool negative = false;
    if (i < entry.size() && (entry[i] == '+' || entry[i] == '-')) negative = entry[i++] == '-';
    long long value = 0;
    for (; i < entry.size() && std::isdigit(static_cast<unsigned char>(entry[i])); ++i) {
        value = value * 10 + (entry[i] - '0');
        if (value > INT_MAX) value = INT_MAX + 1LL;  // saturate; no overflow on long digit runs
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

}  // namespace

SerialPort SerialPortNamed(std::string name, std::optional<std::string> friendly_name) {
    SerialPort port{std::move(name), std::nullopt, std::move(friendly_name), std::nullopt};
    port.number = EntryPortNumber(PortListEntry(port));
    return port;
}

std::string PortListEntry(const SerialPort& port) {
    if (!port.friendly_name) return port.name;
    std::string entry = port.name;
    if (entry.size() < 6) entry.resize(6, ' ');
    return entry + "  " + *port.friendly_name;
}

std::string DescribeUsb(const UsbIdentity& usb) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", usb.vendor_id, usb.product_id);
    std::string text = std::string("USB ") + ids;
    text += usb.serial_number ? " serial " + *usb.serial_number : " without serial";
    if (!usb.location.empty()) text += " at " + usb.location;
    if (!usb.by_path.empty()) text += " (" + usb.by_path + ")";
    return text;
}

std::string DescribePort(const SerialPort& port) {
    return port.name + "  " + (port.usb ? DescribeUsb(*port.usb) : "not a USB port");
}

}  // namespace k7
