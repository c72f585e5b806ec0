#include "log/log.h"

namespace k7 {

// POSIX streams never translate line ends.
void SetStdoutBinary() {}

}  // namespace k7
