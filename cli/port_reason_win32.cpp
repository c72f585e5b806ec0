// Windows keeps no per-user access to COM ports and does not tell who holds one, so
// there is nothing to add to the error itself.
#include <cctype>

#include "cli/port_reason.h"

namespace k7 {

namespace {

// "COM7:", "\\.\COM7", "\\.\com07" -> "COM7"; another device keeps its name, in capitals.
std::string PortName(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (!name.empty() && name.back() == ':') name.pop_back();
    PortRef port;
    if (name.find_first_of("/\\") == std::string::npos && ParsePortArgument(name, &port))
        return port.label;
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace

std::string PermissionHint(const std::string&) {
    return {};
}

std::string BusyHolders(const std::string&) {
    return {};
}

bool HeldHere(const std::string&) {
    return false;
}

// A COM port has one name, whichever way it was written; whether it exists is the open's
// business.
bool SameDevice(const std::string& a, const std::string& b) {
    return PortName(a) == PortName(b);
}

}  // namespace k7
