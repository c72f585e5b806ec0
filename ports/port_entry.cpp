#include <cstdio>

#include "ports/ports.h"

namespace k7 {

std::string PortEntry(const std::string& port_name, const char* friendly_name) {
    if (friendly_name == nullptr) return port_name;
    std::string entry = port_name;
    if (entry.size() < 6) entry.resize(6, ' ');
    return entry + "  " + friendly_name;
}

}  // namespace k7
