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

}  // namespace k7
