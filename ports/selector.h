// Choosing a port by who it is rather than by its name, which can change from one plug-in
// to the next: `serial:SN` picks the port whose USB device has that serial number,
// `location:LOC` the one plugged in at that place (a USB location such as 1-2.4, or the
// port's /dev/serial/by-path link, whole or its last part).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ports/ports.h"

namespace k7 {

struct PortSelector {
    enum class Kind { kSerial, kLocation };
    Kind kind;
    std::string value;
};

// The selector a port argument spells, or none for a plain port name (COM7, 7,
// /dev/ttyACM0) and for a prefix with nothing after it, which stay with the port parser.
std::optional<PortSelector> ParsePortSelector(const std::string& argument);

// The one port the selector picks, or why there is none: what was asked for, then the
// candidates one per line (every USB port when nothing matched, the matching ones when
// several did), each with its identity.
struct SelectedPort {
    std::optional<SerialPort> port;
    std::string error;
};
SelectedPort SelectPort(const PortSelector& selector, const std::vector<SerialPort>& ports);

}  // namespace k7
