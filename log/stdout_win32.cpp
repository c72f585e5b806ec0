#include "log/log.h"

namespace k7 {

// A Windows handle is never given the number of a standard stream: a port or a file opened
// later cannot take its place, and a write to a stream that has none just fails.
void OpenClosedStandardDescriptors() {}

}  // namespace k7
