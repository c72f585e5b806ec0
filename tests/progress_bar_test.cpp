// The progress bar of korvel7 on a terminal it shares with the log: neither may ever
// overwrite the other, and the bar may not claim 100% before the run is done.
#include "cli/progress_bar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "tests/cli_fixture.h"

namespace k7::test {
namespace {

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
        const ScopedLogRoute route({nullptr, &bar});
        bar.Append("\r\nEntered COM PORT : /no/such/port\r\n");
        bar.Update({UpdatePhase::kProbe, 0, 0});
        WriteStdout("/no/such/port not found or busy\r\n");
        bar.Finish();
        bar.Append("KORVEL7 not found\r\n");
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

// One terminal that the bar's and the log's streams both write to, as standard error and
// standard output share one. A write to the log's stream first gives the other threads a
// moment, as a terminal that is slow to take text would.
struct Terminal {
    std::mutex mutex;
    std::string shown;
    struct Stream {
        Terminal* terminal;
        bool slow;
    } bar{this, false}, log{this, true};

    static ssize_t Write(void* cookie, const char* data, std::size_t size) {
        const auto* stream = static_cast<Stream*>(cookie);
        if (stream->slow) std::this_thread::sleep_for(std::chrono::microseconds(20));
        std::lock_guard<std::mutex> lock(stream->terminal->mutex);
        stream->terminal->shown.append(data, size);
        return static_cast<ssize_t>(size);
    }
    static std::FILE* Open(Stream& stream) {
        return fopencookie(&stream, "w", {nullptr, &Write, nullptr, nullptr});
    }
};

// The log comes from the worker and from the receiving thread at once while the worker
// moves the bar; on a terminal that shows both, every log line still shows whole, and the
// bar never inside one.
TEST(ProgressBarThreads, LogFromTwoThreadsShowsWholeLinesAroundTheBar) {
    Terminal terminal;
    std::FILE* bar_stream = Terminal::Open(terminal.bar);
    std::FILE* log_stream = Terminal::Open(terminal.log);
    constexpr int kLines = 1000;
    {
        ProgressBar bar(bar_stream, log_stream, true, 80);
        SetLogSink(&bar);
        std::thread receiving([] {
            for (int i = 0; i < kLines; ++i)
                LogPrintf("fwUpdate rsp %d\r\n", i);
        });
        for (int i = 0; i < kLines; ++i) {
            LogPrintf("send block %d\r\n", i);
            bar.Update({i % 2 == 0 ? UpdatePhase::kProgram : UpdatePhase::kErase, 0.5, 0});
        }
        receiving.join();
        SetLogSink(nullptr);
    }
    std::fclose(bar_stream);
    std::fclose(log_stream);

    std::vector<std::string> lines = Screen(terminal.shown);
    if (lines.back().empty() || lines.back().starts_with("[")) lines.pop_back();  // the bar
    std::set<std::string> expected;
    for (int i = 0; i < kLines; ++i) {
        expected.insert("fwUpdate rsp " + std::to_string(i));
        expected.insert("send block " + std::to_string(i));
    }
    EXPECT_EQ(lines.size(), expected.size());
    for (const std::string& line : lines)
        ASSERT_EQ(expected.erase(line), 1u) << "not a whole log line, or twice: " << line;
}

}  // namespace
}  // namespace k7::test
