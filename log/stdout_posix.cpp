#include <unistd.h>

#include "log/log.h"

namespace k7 {

// POSIX streams never translate line ends.
void SetStdoutBinary() {}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

}  // namespace k7
