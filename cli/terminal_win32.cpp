#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "cli/terminal.h"

namespace k7 {

void SetStdoutBinary() {
    _setmode(_fileno(stdout), _O_BINARY);
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

// A console redraws once it handles escapes itself, which older consoles refuse; any
// other stream (a pipe of a terminal emulator, a file) goes by TERM as elsewhere.
TerminalInfo DescribeTerminal(std::FILE* stream) {
    TerminalInfo info;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) {
        info.columns = ColumnsFromEnvironment();
        info.redraws = TermRedraws(std::getenv("TERM"));
        return info;
    }
    CONSOLE_SCREEN_BUFFER_INFO screen{};
    info.columns = GetConsoleScreenBufferInfo(handle, &screen) != 0 &&
                           screen.srWindow.Right > screen.srWindow.Left
                       ? static_cast<std::size_t>(screen.srWindow.Right - screen.srWindow.Left + 1)
                       : ColumnsFromEnvironment();
    info.redraws = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                   SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    return info;
}

}  // namespace k7
