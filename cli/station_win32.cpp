#include <windows.h>

#include "cli/station.h"

namespace k7 {

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return {};
    return std::string(name, size);
}

}  // namespace k7
