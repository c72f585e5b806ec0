#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

#include "cli/terminal.h"

namespace k7 {

// POSIX streams never translate line ends.
void SetStdoutBinary() {}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

TerminalInfo DescribeTerminal(std::FILE* stream) {
    TerminalInfo info;
    winsize size{};
    const bool sized = ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
    info.columns = sized ? size.ws_col : ColumnsFromEnvironment();
    info.redraws = TermRedraws(std::getenv("TERM"));
    return info;
}

}  // namespace k7
