#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "log/log.h"

namespace k7 {

// open(2) takes the lowest free number, so the first open fills the lowest closed one.
void OpenClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (open("/dev/null", O_RDWR) != fd) return;
    }
}

}  // namespace k7
