// korvel7's standard streams: the log on standard output, whether a stream is a terminal,
// names made safe to show, text fitted to the width, and what the terminal can do with
// cursor movement.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "log/log.h"

namespace k7 {

// Puts standard output in binary mode where the C runtime would translate "\n" (Windows),
// so that "\r\n" leaves the process as CR LF and not CR CR LF.
void SetStdoutBinary();

// Whether the stream is a terminal (a console on Windows), and not a file or a pipe.
bool IsTerminal(std::FILE* stream);

// Writes each message to standard output as it is, CR LF kept.
class StdoutLogSink final : public LogSink {
public:
    StdoutLogSink();
    void Append(std::string_view text) override;
};

struct TerminalInfo {
    std::size_t columns = 80;
    bool redraws = false;  // takes the escapes that move the cursor up and clear a line
};

// Asks the system about `stream`: its width (else COLUMNS, else 80) and whether it redraws
// in place. Implemented once per platform; on Windows it turns on the console's handling
// of escapes, and a console that refuses gets plain lines.
TerminalInfo DescribeTerminal(std::FILE* stream);

// The width COLUMNS names, or 80.
std::size_t ColumnsFromEnvironment();
// Whether a terminal of type TERM moves the cursor: not when TERM is unset or "dumb".
bool TermRedraws(const char* term);

// A name as it may reach a terminal: control characters, bytes that are not UTF-8 and
// the C1 controls are shown as \xNN, so no name can move the cursor or change colours.
std::string Printable(std::string_view name);

// `text` in at most `columns` bytes: a longer one keeps its start and end around "...",
// cut between characters. Counting bytes never underestimates the columns UTF-8 takes.
std::string ElideMiddle(std::string_view text, std::size_t columns);

}  // namespace k7
