#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "log/log.h"

namespace k7 {

void SetStdoutBinary() {
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace k7
