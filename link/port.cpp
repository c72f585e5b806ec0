#include "link/port.h"

#include <cctype>
#include <cstdio>
#include <limits>

namespace k7 {

PortRef PortFromNumber(int number) {
    char label[32];
    char device[32];
    std::snprintf(label, sizeof label, "COM%d", number);
    if (number >= 10)
        std::snprintf(device, sizeof device, "\\\\.\\COM%d", number);
    else
        std::snprintf(device, sizeof device, "COM%d:", number);
    return {label, device};
}

PortRef PortFromPath(const std::string& path) {
    return {path, path};
}

namespace {

// Digits only, value within int; false otherwise.
bool ParsePortNumber(const std::string& digits, int* number) {
    if (digits.empty() || digits.size() > 9) return false;
    int value = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    *number = value;
    return true;
}

bool StartsWithCom(const std::string& text) {
    return text.size() >= 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(text[2])) == 'M';
}

}  // namespace

bool ParsePortArgument(const std::string& text, PortRef* port) {
    const bool has_separator =
        text.find('/') != std::string::npos || text.find('\\') != std::string::npos;
    if (text.empty()) return false;
    if (!has_separator) {
        // "7", "COM7", "com7"; "COM", "COMx" or a number too large are mistyped ports.
        const std::string digits = StartsWithCom(text) ? text.substr(3) : text;
        int number = 0;
        if (!ParsePortNumber(digits, &number)) return false;
        *port = PortFromNumber(number);
        return true;
    }
    *port = PortFromPath(text);
    return true;
}

}  // namespace k7
