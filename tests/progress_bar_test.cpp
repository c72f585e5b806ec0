// The progress bar of korvel7 on a terminal it shares with the log: neither may ever
// overwrite the other, and the bar may not claim 100% before the run is done.
#include "cli/progress_bar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace k7 {
namespace {

// What a terminal shows for these bytes: CR goes back to the start of the line, LF ends
// it; trailing blanks are not seen.
std::vector<std::string> Screen(const std::string& bytes) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (char c : bytes) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (column < line.size())
                line[column] = c;
            else
                line.push_back(c);
            ++column;
        }
    }
    for (std::string& line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    return lines;
}

std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    return text;
}

TEST(ProgressBar, OnASharedTerminalTheBarOnlyShowsBetweenLogLines) {
    std::FILE* terminal = std::tmpfile();
    ASSERT_NE(terminal, nullptr);
    {
        ProgressBar bar(terminal, terminal, true, 80);
        bar.Update({UpdatePhase::kProgram, 0.25, 1000});  // shown: the log is at a line start
        bar.Append("send block 1/25 ");
        bar.Update({UpdatePhase::kProgram, 0.5, 2000});  // not shown: mid-line
        bar.Append("....ok\r\n");
        bar.Update({UpdatePhase::kCheck, 1.0, 3000});
        bar.Finish();  // before the outcome line, which nothing may follow
        bar.Append("Update successful\r\n");
        bar.Update({UpdatePhase::kCheck, 1.0, 3000});
    }
    const std::string bytes = Contents(terminal);
    std::fclose(terminal);
    const std::vector<std::string> screen = Screen(bytes);
    ASSERT_EQ(screen.size(), 4u) << bytes;
    EXPECT_EQ(screen[0], "send block 1/25 ....ok");
    EXPECT_EQ(screen[1].rfind("[########################] check   100%", 0), 0u) << screen[1];
    EXPECT_EQ(screen[2], "Update successful");
    EXPECT_EQ(screen[3], "");
    EXPECT_EQ(bytes.substr(bytes.find("Update successful")), "Update successful\r\n");
}

// A port that does not open is reported outside the log; the bar makes room for that
// report too, and a run that never got past the probe leaves no bar behind.
TEST(ProgressBar, ThePortReportAndTheNotFoundEndLeaveNoBarBehind) {
    std::FILE* terminal = std::tmpfile();
    ASSERT_NE(terminal, nullptr);
    {
        ProgressBar bar(terminal, terminal, true, 80);
        SetReportSink(&bar);
        bar.Append("\r\nEntered COM PORT : /no/such/port\r\n");
        bar.Update({UpdatePhase::kProbe, 0, 0});
        WriteStdout("/no/such/port not found or busy\r\n");
        bar.Finish();
        bar.Append("KORVEL7 not found\r\n");
        SetReportSink(nullptr);
    }
    const std::string bytes = Contents(terminal);
    std::fclose(terminal);
    EXPECT_EQ(Screen(bytes), (std::vector<std::string>{"", "Entered COM PORT : /no/such/port",
                                                       "/no/such/port not found or busy",
                                                       "KORVEL7 not found", ""}))
        << bytes;
}

TEST(ProgressBar, ShowsWholePercentsRoundedDownAndTheTimeLeft) {
    using std::chrono::seconds;
    const std::string almost = ProgressBar::Render({UpdatePhase::kCheck, 0.999, 0}, 0, seconds(30));
    EXPECT_NE(almost.find("check    99%"), std::string::npos) << almost;
    const std::string half =
        ProgressBar::Render({UpdatePhase::kProgram, 0.5, 0}, 11520, seconds(75));
    EXPECT_EQ(half, "[############------------] program  50%   11.5 kB/s  1:15 left");
}

}  // namespace
}  // namespace k7
