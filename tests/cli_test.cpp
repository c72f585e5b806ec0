// The korvel7 program as a user runs it: its standard output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cli/progress_bar.h"
#include "link/link.h"
#include "log/log.h"
#include "tests/sim_fixture.h"
#include "update/firmware_update.h"

namespace k7 {
namespace {

constexpr char kPlaceholderWarning[] = "korvel7: WARNING: this build carries placeholder images";

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The terminal a user's shell describes, unless a test names another.
Result RunCli(const std::string& arguments, const std::string& env = "TERM=xterm COLUMNS=80") {
    Result result;
    const std::string err_path =
        (std::filesystem::temp_directory_path() / ("korvel7-cli-err-" + std::to_string(getpid())))
            .string();
    const std::string command = env + " " + KORVEL7_CLI + " " + arguments + " 2>" + err_path;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadFile(err_path);
    std::filesystem::remove(err_path);
    // A build with the placeholder images says so first; the release tests check that line.
    if (result.err.rfind(kPlaceholderWarning, 0) == 0)
        result.err.erase(0, result.err.find('\n') + 1);
    return result;
}

// The lines a terminal shows for `output`: CR goes back to the line's start, and what
// follows overwrites; ESC [ n A moves n lines up and ESC [ K clears the rest of the line;
// trailing blanks are dropped.
std::vector<std::string> Screen(const std::string& output) {
    std::vector<std::string> lines(1);
    std::size_t row = 0, column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (c == '\x1b' && output.compare(i + 1, 1, "[") == 0) {
            const std::size_t end = output.find_first_not_of("0123456789", i + 2);
            if (end == std::string::npos) break;
            const auto n = static_cast<std::size_t>(std::atoi(output.c_str() + i + 2));
            if (output[end] == 'A') row -= std::min(row, n);
            if (output[end] == 'K') lines[row].resize(std::min(column, lines[row].size()));
            i = end;
        } else if (c == '\n') {
            if (++row == lines.size()) lines.emplace_back();
            column = 0;
        } else if (c == '\r') {
            column = 0;
        } else {
            std::string& line = lines[row];
            if (column >= line.size()) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    for (std::string& line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    return lines;
}

// The receiver of each test starts with erased memory, so every run is a whole one.
class CliTest : public test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        options.blank = true;
    }
    std::string ServeAt() { return Serve().label; }
};

// The log on standard output has CR LF line ends and is the same byte for byte with and
// without the bar, which goes to standard error only. --quiet leaves nothing but what
// went wrong.
TEST_F(CliTest, ProgramPrintsTheLogAndTheBarApartOrQuietOnlyErrors) {
    const std::string port = ServeAt();
    const Result plain = RunCli("program --port " + port);
    EXPECT_EQ(plain.status, 0);
    EXPECT_TRUE(plain.out.starts_with("\r\nEntered COM PORT : " + port + "\r\n" + port +
                                      " Opened\r\nChecking " + port + "... found a KORVEL7\r\n"))
        << plain.out;
    EXPECT_TRUE(plain.out.ends_with("Update successful\r\n")) << plain.out;
    for (std::size_t i = 1; i < plain.out.size(); ++i)
        ASSERT_TRUE(plain.out[i] != '\n' || plain.out[i - 1] == '\r') << "bare LF at " << i;
    EXPECT_EQ(plain.err, "");

    const Result with_bar = RunCli("program --progress --port " + port, "TERM=xterm COLUMNS=40");
    EXPECT_EQ(with_bar.status, 0);
    EXPECT_EQ(with_bar.out, plain.out);
    EXPECT_NE(with_bar.err.find("] check   100%"), std::string::npos) << with_bar.err;
    for (const std::string& line : Screen(with_bar.err))
        EXPECT_LT(line.size(), 40u) << line;
    EXPECT_EQ(with_bar.err.back(), '\n');

    const Result quiet = RunCli("program --quiet --port " + port);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");

    const Result missing = RunCli("program --quiet --progress --port /dev/korvel7-missing");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "/dev/korvel7-missing not found or busy\r\n");
    EXPECT_EQ(missing.err,
              "korvel7: /dev/korvel7-missing: no such device (No such file or directory); "
              "'korvel7 ports' lists this machine's serial ports\n"
              "korvel7: KORVEL7 not found on /dev/korvel7-missing\n");
}

// Each command's outcomes against a receiver that answers the image check with an
// acknowledgement (no verdict: a strict run fails), whose second version answer is for
// another command and whose first address read-back differs.
TEST_F(CliTest, ExitStatusFollowsEachOutcome) {
    Fault(sim::FaultAction::kKind, kCmdImageCheck, 1, kRspNoData1);
    Fault(sim::FaultAction::kEcho, kCmdVersion, 2, 28);
    Fault(sim::FaultAction::kDiffer, kCmdReadAddress, 1, 4);
    const std::string at = " --port " + ServeAt(), missing = " --port /dev/korvel7-missing";
    const Result strict = RunCli("program --strict" + at);
    EXPECT_EQ(strict.status, 1);
    EXPECT_TRUE(
        strict.out.ends_with("no answer to the image check. Please reset the unit "
                             "manually\r\nFirmware Update failed\r\nUpdate not "
                             "successful\r\n"))
        << strict.out;
    const std::pair<std::string, int> runs[] = {{"version" + at, 1},
                                                {"address" + at + " 0a ff 7c", 1},
                                                {"version" + at, 0},
                                                {"address" + at + " 0a ff 7c", 0},
                                                {"address" + at + " 0a f 7c", 64},
                                                {"program" + missing, 2},
                                                {"version" + missing, 2},
                                                {"address" + missing + " 0a ff 7c", 2}};
    for (const auto& [arguments, status] : runs)
        EXPECT_EQ(RunCli(arguments).status, status) << arguments;
}

// Another process holding the port keeps this one out, and the tool says so at once.
TEST_F(CliTest, BusyPortIsReportedNotWaitedFor) {
    const std::string port = ServeAt();
    Link holder;
    ASSERT_EQ(holder.OpenComPort(PortFromPath(port)), 1);
    Result r = RunCli("version --port " + port);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, port + " not found or busy\r\n");
    holder.CloseComPort();
    r = RunCli("version --port " + port);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, port + " Opened\r\nExisting FW version: 2.4.5\r\n");
}

// The address fields follow the window's rule; a bad one is refused before the port opens.
TEST_F(CliTest, AddressWritesAndConfirmsOrRefusesTheFields) {
    const std::string port = ServeAt();
    Result r = RunCli("address --port " + port + " 0a FF 7c");
    EXPECT_EQ(r.out, "INPUT ADDRESS = 0A:FF:7C\r\n" + port + " Opened\r\nPROGRAM " + port +
                         "... Command OK\r\nRead Addr OK    0A:FF:7C\r\n"
                         "================ PROGRAM OK ================\r\n");
    r = RunCli("address --port " + port + " 0a F 7c");
    EXPECT_EQ(r.out, "INPUT N.G.\r\n");
}

// A script reading the log must never see a usage message in it.
TEST(Cli, UsageErrorsExit64WithNothingOnStdout) {
    for (const char* arguments :
         {"", "flash --port /dev/x", "program", "program --port COMx",
          "program --port /dev/x extra", "ports extra", "address --port /dev/x 0a ff",
          "program --port /dev/x --verbose", "version --port /dev/x --progress"}) {
        const Result r = RunCli(arguments);
        EXPECT_EQ(r.status, 64) << arguments;
        EXPECT_EQ(r.out, "") << arguments;
    }
    Result help = RunCli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("program --port PORT"), std::string::npos);
}

// Receivers on a bench, each a simulator of its own.
class Bench {
public:
    explicit Bench(std::vector<sim::Options> receivers) {
        for (sim::Options& options : receivers) {
            options.blank = true;
            servers_.push_back(std::make_unique<sim::PtyServer>(options));
            std::string error;
            EXPECT_TRUE(servers_.back()->Start(&error)) << error;
        }
    }
    std::string Ports(std::vector<std::size_t> which = {}) const {
        std::string ports;
        for (std::size_t i = 0; i < servers_.size(); ++i)
            if (which.empty() || std::find(which.begin(), which.end(), i) != which.end())
                ports += " --port " + servers_[i]->SlavePath();
        return ports;
    }
    sim::PtyServer& operator[](std::size_t i) { return *servers_[i]; }
    // The commands that change a receiver: erase, write, image check or reset, address.
    unsigned Changing(std::size_t i) {
        return servers_[i]->Inspect([](const sim::Receiver& r) {
            return r.CommandCount(kCmdEraseBlock) + r.CommandCount(kCmdWriteChunk) +
                   r.CommandCount(kCmdImageCheck) + r.CommandCount(kCmdWriteAddress);
        });
    }
    bool Holds(std::size_t i, std::span<const std::uint8_t> image) {
        return servers_[i]->Inspect([image](const sim::Receiver& r) {
            return std::equal(image.begin(), image.end(), r.Memory().begin());
        });
    }

private:
    std::vector<std::unique_ptr<sim::PtyServer>> servers_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// Every line of `out` as JSON; a line that is not valid UTF-8 JSON fails the test.
std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> objects;
    for (const std::string& line : Lines(out)) {
        objects.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_TRUE(objects.back().is_object()) << line;
    }
    return objects;
}

// info and verify look and never touch: the receivers' command records hold nothing that
// erases, writes, checks, resets or sets the address.
TEST(Benches, InfoAndVerifyOnlyLook) {
    sim::Options version3;
    version3.version = {3, 0, 0};
    Bench bench({{}, version3});
    Result info = RunCli("info" + bench.Ports());
    EXPECT_EQ(info.status, 0) << info.out;
    const std::string sizes[] = {std::to_string(BuiltInImages().a.size()) + " bytes",
                                 std::to_string(BuiltInImages().b.size()) + " bytes"};
    EXPECT_NE(info.out.find("Existing FW version: 2.4.5\r\nDevice address: 00:19:01:12:34:56\r\n"
                            "program would install image A: " +
                            sizes[0]),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("program would install image B: " + sizes[1]), std::string::npos);
    Result verify = RunCli("verify --progress" + bench.Ports());
    EXPECT_EQ(verify.status, 1);  // blank memory differs
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_NE(Screen(verify.err)[i].find("  differs  "), std::string::npos) << verify.err;
    EXPECT_NE(verify.out.find("differs from image B\r\nVerify not successful\r\n"),
              std::string::npos)
        << verify.out;
    EXPECT_EQ(bench.Changing(0) + bench.Changing(1), 0u);
}

// One byte read back wrong in the last chunk of image B is found and named; skip-if-current
// then skips a receiver that holds its image byte for byte and updates a stale one.
TEST(Benches, VerifyFindsOneByteAndSkipIfCurrentUpdatesOnlyWhatDiffers) {
    sim::Options version3;
    version3.version = {3, 0, 0};
    const auto size_b = static_cast<unsigned>(BuiltInImages().b.size());
    const unsigned chunks_of_b = (size_b + 127) / 128;
    // The update reads every chunk once; the verify after it reads them again.
    version3.faults.push_back(
        {sim::FaultAction::kFlip, kCmdReadChunk, 2 * chunks_of_b, (size_b - 1) % 128, 0x10});
    Bench bench({version3, {}, {}});
    ASSERT_EQ(RunCli("program" + bench.Ports({0, 1})).status, 0);
    const Result verify = RunCli("verify" + bench.Ports({0, 1}));
    EXPECT_EQ(verify.status, 1);
    const unsigned last = BuiltInImages().b.back();
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "verify failed 1\r\nerr: %04x %02x %02x\r\ndiffers from image B\r\n", size_b - 1,
                  last, last ^ 0x10u);
    EXPECT_NE(verify.out.find(expected), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find("matches image A\r\nVerify successful\r\n"), std::string::npos);

    const unsigned erased_before =
        bench[1].Inspect([](const sim::Receiver& r) { return r.CommandCount(kCmdEraseBlock); });
    const Result skip = RunCli("program --skip-if-current --json" + bench.Ports({1, 2}));
    EXPECT_EQ(skip.status, 0);
    const auto lines = JsonLines(skip.out);
    ASSERT_EQ(lines.size(), 2u) << skip.out;
    EXPECT_EQ(lines[0]["bytes_written"], 0);
    EXPECT_EQ(lines[0]["result"], "unchanged");
    EXPECT_EQ(lines[0]["failed_step"], nullptr);
    EXPECT_EQ(lines[1]["bytes_written"], BuiltInImages().a.size());
    EXPECT_EQ(lines[1]["result"], "updated");
    EXPECT_EQ(
        bench[1].Inspect([](const sim::Receiver& r) { return r.CommandCount(kCmdEraseBlock); }),
        erased_before);
    EXPECT_TRUE(bench.Holds(0, BuiltInImages().b));
    EXPECT_TRUE(bench.Holds(2, BuiltInImages().a));
}

// Four receivers at once, one hanging up in the middle of its writes: the other three are
// updated, that one fails on its own, every log file holds one port's whole log and
// nothing else, and each JSON line agrees with the exit status.
TEST(Benches, OneReceiverHangingUpStopsNoOther) {
    sim::Options hanging;
    hanging.faults.push_back({sim::FaultAction::kHangup, kCmdWriteChunk, 300, 0, 0});
    Bench bench({{}, {}, hanging, {}});
    const auto dir =
        std::filesystem::temp_directory_path() / ("korvel7-logs-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const Result r = RunCli("program --json --log-dir " + dir.string() + bench.Ports());
    EXPECT_EQ(r.status, 1);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool failed = i == 2;
        EXPECT_EQ(lines[i]["port"], bench[i].SlavePath());
        EXPECT_EQ(lines[i]["result"], failed ? "failed" : "updated");
        EXPECT_EQ(lines[i]["exit_status"], failed ? 1 : 0);
        EXPECT_EQ(lines[i]["log_lost"], false);
        EXPECT_TRUE(std::filesystem::exists(lines[i]["log_file"].get<std::string>()));
        EXPECT_TRUE(failed || bench.Holds(i, BuiltInImages().a)) << i;
    }
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++files;
        const std::string log = ReadFile(entry.path().string());
        const std::size_t first = log.find("Entered COM PORT : ");
        ASSERT_EQ(first, 2u) << entry.path();
        const std::string port = log.substr(first + 19, log.find('\r', first) - first - 19);
        EXPECT_EQ(log.find("Entered COM PORT", first + 1), std::string::npos);
        EXPECT_EQ(
            log.ends_with("Update successful\r\n") || log.ends_with("Update not successful\r\n"),
            true)
            << log;
        // Another port's name, not the start of a longer one: /dev/pts/1 is in /dev/pts/12.
        for (std::size_t i = 0; i < 4; ++i) {
            if (bench[i].SlavePath() != port) {
                EXPECT_EQ(log.find(bench[i].SlavePath() + " Opened"), std::string::npos) << log;
            }
        }
    }
    EXPECT_EQ(files, 4u);
    std::filesystem::remove_all(dir);
}

// Several ports show one line each on standard error, redrawn in place, each fitting the
// width however long its name: at the end each line holds how its port's run ended, and
// the table follows them, its port column elided to fit too.
TEST(Benches, LiveLinesFitTheWidthAndEndWithEachResult) {
    sim::Options hanging;
    hanging.faults.push_back({sim::FaultAction::kHangup, kCmdWriteChunk, 300, 0, 0});
    Bench bench({{}, hanging});
    const auto link = std::filesystem::temp_directory_path() /
                      ("korvel7-" + std::string(90, 'l') + std::to_string(getpid()));
    std::filesystem::create_symlink(bench[0].SlavePath(), link);
    const Result r = RunCli("program --progress --port " + link.string() + bench.Ports({1}),
                            "TERM=xterm COLUMNS=60");
    std::filesystem::remove(link);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> screen = Screen(r.err);
    ASSERT_EQ(screen.size(), 6u) << r.err;
    for (const std::string& line : screen)
        EXPECT_LT(line.size(), 60u) << line;
    EXPECT_NE(screen[0].find("..."), std::string::npos) << screen[0];
    EXPECT_NE(screen[0].find(std::to_string(getpid()) + "  updated  "), std::string::npos)
        << screen[0];
    EXPECT_TRUE(screen[1].starts_with(bench[1].SlavePath() + "  failed at ")) << screen[1];
    EXPECT_TRUE(screen[2].starts_with("port ")) << screen[2];
    EXPECT_NE(screen[3].find("..."), std::string::npos) << r.err;
    EXPECT_NE(screen[4].find(" failed "), std::string::npos) << screen[4];
}

// A terminal that cannot move the cursor gets a plain line per port as its job ends, and
// no bar for a lone port.
TEST(Benches, DumbTerminalsGetPlainLines) {
    Bench bench({{}, {}});
    Result r = RunCli("info --progress" + bench.Ports(), "TERM=dumb");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    const std::vector<std::string> lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 5u) << r.err;
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_NE(lines[i].find("  answered  "), std::string::npos) << lines[i];
    r = RunCli("info --progress" + bench.Ports({0}), "TERM=dumb");
    EXPECT_EQ(r.err, "");
}

// --log-dir is checked before any receiver is touched, in the system's words.
TEST(Benches, AnUnusableLogDirIsRefusedBeforeAnythingIsSent) {
    Bench bench({sim::Options{}});
    const Result r = RunCli("program --log-dir /nonexistent/logs" + bench.Ports());
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "korvel7: --log-dir /nonexistent/logs: No such file or directory\n");
    EXPECT_EQ(bench.Changing(0), 0u);
}

// A log the file system refuses (here: past the file size limit) is lost data: the job
// that updated its receiver still fails, says why on standard error and in its JSON.
TEST(Benches, ALostLogFailsTheJobAndSaysWhy) {
    Bench bench({sim::Options{}});
    const auto dir =
        std::filesystem::temp_directory_path() / ("korvel7-lost-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const Result r = RunCli("program --json --log-dir " + dir.string() + bench.Ports(),
                            "trap '' XFSZ; ulimit -f 4;");
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.status, 1);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["result"], "updated");
    EXPECT_EQ(lines[0]["log_lost"], true);
    EXPECT_EQ(lines[0]["exit_status"], 1);
    const std::string file = lines[0]["log_file"];
    EXPECT_EQ(r.err,
              "korvel7: log of " + bench[0].SlavePath() + " to " + file + ": File too large\n");
    EXPECT_TRUE(bench.Holds(0, BuiltInImages().a));
}

// A name with control characters and bytes that are not UTF-8 stays valid in JSON and
// shows escaped on the terminal: in the table, the reason line and the --quiet line.
TEST(Benches, StrangeNamesStayValidJsonAndPrintable) {
    Bench bench({sim::Options{}});
    const auto dir =
        std::filesystem::temp_directory_path() / ("korvel7-names-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string odd = (dir / "k7-\x1b[2J\xff").string(), missing = odd + "-missing";
    std::filesystem::create_symlink(bench[0].SlavePath(), odd);
    const Result r = RunCli("info --json --port '" + odd + "' --port '" + missing + "'");
    const Result quiet = RunCli("info --quiet --port '" + missing + "'");
    std::filesystem::remove_all(dir);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0]["port"], (dir / "k7-\x1b[2J\xef\xbf\xbd").string());
    EXPECT_EQ(lines[0]["result"], "answered");
    const std::string shown = (dir / "k7-\\x1b[2J\\xff").string();
    EXPECT_TRUE(Lines(r.err)[0].starts_with("korvel7: " + shown + "-missing: no such device"));
    EXPECT_TRUE(Lines(r.err)[2].starts_with(shown.substr(0, 10))) << r.err;
    EXPECT_EQ(Lines(quiet.err).back(), "korvel7: KORVEL7 not found on " + shown + "-missing");
    EXPECT_EQ((r.err + quiet.err).find_first_of("\x1b\xff"), std::string::npos);
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
}  // namespace k7
