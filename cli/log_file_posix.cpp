#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/log_file.h"

namespace k7 {

std::string LogDirProblem(const std::string& dir) {
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) return std::strerror(errno);
    if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR);
    if (access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return {};
}

// O_EXCL alone already refuses a name that is a link; O_NOFOLLOW says so once more. 0644:
// a service record others on the bench read, holding nothing secret, as the umask allows.
int CreateNewFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

long WriteSome(int descriptor, const char* data, std::size_t size) {
    return static_cast<long>(write(descriptor, data, size));
}

int CloseDescriptor(int descriptor) {
    return close(descriptor);
}

std::tm LocalTime(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    return local;
}

std::tm UtcTime(std::time_t time) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    return utc;
}

}  // namespace k7
