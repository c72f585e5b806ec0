#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/ledger.h"

namespace k7 {

namespace {

// A FIFO would hand the lines to whoever reads it and keep none; a directory or a socket
// cannot be appended to. A character device (/dev/null, a terminal) takes them as it would.
const char* UnfitKind(mode_t mode) {
    if (S_ISFIFO(mode)) return "it is a FIFO, not a file";
    if (S_ISSOCK(mode)) return "it is a socket, not a file";
    if (S_ISBLK(mode)) return "it is a block device, not a file";
    return nullptr;
}

}  // namespace

// O_NONBLOCK only for the open itself: a FIFO put there after the check must not hold the
// open until someone reads it. O_APPEND makes every write land at the end, whoever else
// appends; 0644 as the umask allows, since others on the bench read the ledger.
std::string OpenLedgerFile(const std::string& path, std::intptr_t* file) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && UnfitKind(info.st_mode) != nullptr)
        return UnfitKind(info.st_mode);
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return std::strerror(errno);
    std::string reason;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &info) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        reason = std::strerror(errno);
    else if (UnfitKind(info.st_mode) != nullptr)
        reason = UnfitKind(info.st_mode);
    if (!reason.empty()) {
        close(fd);
        return reason;
    }
    *file = fd;
    return {};
}

// One write takes the whole line unless the disk fills in its middle; the rest is then
// tried once more, so that the failure reported is the system's own (ENOSPC).
std::string WriteLedgerFile(std::intptr_t file, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(static_cast<int>(file), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? std::strerror(errno) : "nothing was written";
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// EINVAL: a device that keeps nothing to flush, such as /dev/null or a terminal.
std::string SyncLedgerFile(std::intptr_t file) {
    if (fsync(static_cast<int>(file)) == 0 || errno == EINVAL) return {};
    return std::strerror(errno);
}

void CloseLedgerFile(std::intptr_t file) {
    close(static_cast<int>(file));
}

}  // namespace k7
