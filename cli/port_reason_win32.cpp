// Windows keeps no per-user access to COM ports and does not tell who holds one, so
// there is nothing to add to the error itself.
#include "cli/port_reason.h"

namespace k7 {

std::string PermissionHint(const std::string&) {
    return {};
}

std::string BusyHolders(const std::string&) {
    return {};
}

}  // namespace k7
