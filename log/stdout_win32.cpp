#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "log/log.h"

namespace k7 {

void SetStdoutBinary() {
    _setmode(_fileno(stdout), _O_BINARY);
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

// A Windows handle is never given the number of a standard stream: a port or a file opened
// later cannot take its place, and a write to a stream that has none just fails.
void OpenClosedStandardDescriptors() {}

}  // namespace k7
