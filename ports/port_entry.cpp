#include <cctype>
#include <climits>

#include "ports/ports.h"

namespace k7 {

std::string PortEntry(const std::string& port_name, const char* friendly_name) {
    if (friendly_name == nullptr) return port_name;
    std::string entry = port_name;
    if (entry.size() < 6) entry.resize(6, ' ');
    return entry + "  " + friendly_name;
}

int PortNumberFromEntry(const std::string& entry, int current) {
    if (entry.size() < 4) return current;
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

}  // namespace k7
