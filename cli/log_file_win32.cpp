#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/log_file.h"

namespace k7 {

std::string LogDirProblem(const std::string& dir) {
    struct _stat64 info {};
    if (_stat64(dir.c_str(), &info) != 0) return std::strerror(errno);
    if ((info.st_mode & _S_IFDIR) == 0) return std::strerror(ENOTDIR);
    if (_access(dir.c_str(), 2) != 0) return std::strerror(errno);
    return {};
}

// _O_EXCL with _O_CREAT is CreateFile's CREATE_NEW: it fails on any existing name,
// a link included. Other programs may read the log while it grows.
int CreateNewFile(const std::string& path) {
    int descriptor = -1;
    const errno_t error = _sopen_s(&descriptor, path.c_str(),
                                   _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                                   _SH_DENYWR, _S_IREAD | _S_IWRITE);
    if (error != 0) errno = error;
    return error == 0 ? descriptor : -1;
}

long WriteSome(int descriptor, const char* data, std::size_t size) {
    return _write(descriptor, data, static_cast<unsigned>(size < INT_MAX ? size : INT_MAX));
}

int CloseDescriptor(int descriptor) {
    return _close(descriptor);
}

std::tm LocalTime(std::time_t time) {
    std::tm local{};
    localtime_s(&local, &time);
    return local;
}

std::tm UtcTime(std::time_t time) {
    std::tm utc{};
    gmtime_s(&utc, &time);
    return utc;
}

}  // namespace k7
