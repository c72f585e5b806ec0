#include <limits.h>
#include <unistd.h>

#include "cli/station.h"

namespace k7 {

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) != 0) return {};
    name[HOST_NAME_MAX] = '\0';
    return name;
}

}  // namespace k7
