#include "ports/selector.h"

#include <filesystem>

namespace k7 {

namespace {

bool Matches(const PortSelector& selector, const UsbIdentity& usb) {
    if (selector.kind == PortSelector::Kind::kSerial) return usb.serial_number == selector.value;
    if (usb.location == selector.value) return true;
    return !usb.by_path.empty() &&
           (usb.by_path == selector.value ||
            std::filesystem::path(usb.by_path).filename() == selector.value);
}

// "no port has USB serial SN" / "2 ports are at USB location LOC".
std::string NoOrMany(const PortSelector& selector, std::size_t count) {
    const bool many = count > 1;
    const std::string subject = many ? std::to_string(count) + " ports" : "no port";
    if (selector.kind == PortSelector::Kind::kSerial)
        return subject + (many ? " have" : " has") + " USB serial " + selector.value;
    return subject + (many ? " are" : " is") + " at USB location " + selector.value;
}

}  // namespace

std::optional<PortSelector> ParsePortSelector(const std::string& argument) {
    for (const auto& [prefix, kind] : {std::pair{"serial:", PortSelector::Kind::kSerial},
                                       std::pair{"location:", PortSelector::Kind::kLocation}}) {
        const std::string_view text = prefix;
        if (argument.starts_with(text) && argument.size() > text.size())
            return PortSelector{kind, argument.substr(text.size())};
    }
    return std::nullopt;
}

SelectedPort SelectPort(const PortSelector& selector, const std::vector<SerialPort>& ports) {
    std::vector<const SerialPort*> matching;
    std::vector<const SerialPort*> usb_ports;
    for (const SerialPort& port : ports) {
        if (!port.usb) continue;
        usb_ports.push_back(&port);
        if (Matches(selector, *port.usb)) matching.push_back(&port);
    }
    if (matching.size() == 1) return {*matching.front(), {}};

    const std::vector<const SerialPort*>& candidates = matching.empty() ? usb_ports : matching;
    std::string error = NoOrMany(selector, matching.size());
    if (candidates.empty()) error += "; no port of this machine is a USB port";
    for (const SerialPort* port : candidates)
        error += "\n  " + DescribePort(*port);
    return {std::nullopt, error};
}

}  // namespace k7
