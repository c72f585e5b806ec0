#include <utility>

#include "link/port.h"
#include "ports/ports.h"

namespace k7 {

SerialPort SerialPortNamed(std::string name, std::optional<std::string> friendly_name) {
    std::optional<int> number = ComPortNumber(name);
    return {std::move(name), number, std::move(friendly_name), std::nullopt};
}

std::string PortListEntry(const SerialPort& port) {
    if (!port.friendly_name) return port.name;
    std::string entry = port.name;
    if (entry.size() < 6) entry.resize(6, ' ');
    return entry + "  " + *port.friendly_name;
}

}  // namespace k7
