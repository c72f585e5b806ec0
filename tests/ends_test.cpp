// How korvel7's runs end when someone stops them, the terminal goes away or nobody reads
// the output any more, at each step of an update; and what it refuses before it starts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/port_reason.h"
#include "link/link.h"
#include "tests/cli_fixture.h"
#include "update/firmware_update.h"

namespace k7::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// korvel7 as a child process, with its pid for the signals and the read ends of its
// standard output and error (-1 where they go to the null device).
struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

// Standard input is the null device; the descriptors in `closed` are closed instead.
Child Spawn(const std::vector<std::string>& args, bool pipe_err,
            const std::vector<int>& closed = {}) {
    Child child;
    int out[2], err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || (pipe_err && pipe2(err, O_CLOEXEC) != 0)) return child;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (pipe_err)
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    for (int fd : closed)
        posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> argv_text = {KORVEL7_CLI};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&child.pid, KORVEL7_CLI, &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (pipe_err) close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

// The exit status; -1 when a signal ended it.
int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A step of the update, reached once the receiver has counted `count` frames of `command`.
// A delayed answer to that frame keeps the run in the step while the end comes.
struct Step {
    const char* name;
    std::uint8_t command;
    unsigned count;
    std::uint32_t delay_ms;
    const char* failed_step;  // where a stop there is reported
};

const std::vector<Step>& Steps() {
    static const std::vector<Step> steps = {
        {"probe", kCmdProbe, 1, 0, "probe"},
        {"address", kCmdReadAddress, 1, 150, "address"},  // read for --json only
        {"version", kCmdVersion, 1, 150, "version"},
        {"erase", kCmdEraseBlock, 1, 150, "erase"},
        {"write", kCmdWriteChunk, 1, 150, "program"},
        {"compare", kCmdReadChunk, 1, 150, "program"},
        {"pause before the check", kCmdReadChunk,
         static_cast<unsigned>((BuiltInImages().a.size() + kChunkSize - 1) / kChunkSize), 0,
         "check"},
        {"check", kCmdImageCheck, 1, 1000, "check"},
    };
    return steps;
}

// SIGINT and SIGTERM ask for a stop; a hang-up and a closed output must not stop anything.
enum class End { kInterrupt, kTerminate, kHangup, kOutputClosed };

// One run of `program` on `ports` receivers, ended at `step`: a stopped run ends as a
// logged failure, any other finishes the update with the check and the reset; no result
// says "updated" unless the receiver got both.
void EndAt(End end, const Step& step, std::size_t ports) {
    SCOPED_TRACE(std::string("at ") + step.name);
    if (end == End::kOutputClosed && step.command == kCmdReadAddress) return;
    sim::Options options;
    if (step.delay_ms != 0)
        options.faults.push_back({sim::FaultAction::kDelay, step.command, 1, step.delay_ms, 0});
    Bench bench(std::vector<sim::Options>(ports, options));
    const TempDir dir;
    const bool output_closed = end == End::kOutputClosed;
    std::vector<std::string> args = {"program", output_closed ? "--progress" : "--json",
                                     "--log-dir", dir.path.string()};
    for (std::size_t i = 0; i < ports; ++i)
        args.insert(args.end(), {"--port", bench[i].SlavePath()});
    const Child child = Spawn(args, output_closed);
    ASSERT_GT(child.pid, 0);

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (bench.Count(0, step.command) < step.count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    if (output_closed) {
        close(child.out);
        close(child.err);
    } else {
        kill(child.pid, std::array{SIGINT, SIGTERM, SIGHUP}[static_cast<std::size_t>(end)]);
    }
    const std::string out = output_closed ? "" : ReadAll(child.out);
    const int status = Wait(child.pid);

    const bool stopped = end == End::kInterrupt || end == End::kTerminate;
    EXPECT_EQ(status, stopped ? 1 : 0) << out;
    const std::vector<nlohmann::json> lines = JsonLines(out);
    ASSERT_EQ(lines.size(), output_closed ? 0 : ports) << out;
    EXPECT_TRUE(out.empty() || out.ends_with('\n')) << out;
    for (std::size_t i = 0; i < ports; ++i) {
        const bool checked_and_reset = bench.Count(i, kCmdImageCheck) >= 2;
        EXPECT_EQ(checked_and_reset, !stopped);
        EXPECT_TRUE(stopped || bench.Holds(i, BuiltInImages().a));
        if (output_closed) continue;
        const nlohmann::json& line = lines[i];
        EXPECT_EQ(line["port"], bench[i].SlavePath());
        EXPECT_EQ(line["result"], checked_and_reset ? "updated" : "failed") << line;
        // The other receivers may be a step apart from the first when the end comes.
        if (!stopped || i == 0) {
            EXPECT_EQ(line["failed_step"], stopped ? nlohmann::json(step.failed_step) : nullptr);
        }
        EXPECT_EQ(line["exit_status"], stopped ? 1 : 0);
    }
    const std::vector<std::string> logs = dir.Files();
    EXPECT_EQ(logs.size(), ports);
    for (const std::string& log : logs) {
        EXPECT_TRUE(
            log.ends_with(stopped ? "\r\nUpdate not successful\r\n" : "\r\nUpdate successful\r\n"))
            << log;
        EXPECT_EQ(log.find("\r\nstopped ") != std::string::npos, stopped) << log;
    }
}

class Ends : public ::testing::TestWithParam<std::tuple<End, std::size_t>> {};

// Every step at once, each on receivers of its own. The runs start apart, so that their
// transfers, which keep a CPU busy, do not all fall together on a small machine.
TEST_P(Ends, AtEveryStep) {
    const auto [end, ports] = GetParam();
    std::vector<std::thread> runs;
    for (const Step& step : Steps()) {
        runs.emplace_back([end, &step, ports] { EndAt(end, step, ports); });
        std::this_thread::sleep_for(400ms);
    }
    for (std::thread& run : runs)
        run.join();
}

std::string CaseName(const ::testing::TestParamInfo<Ends::ParamType>& param) {
    static const char* const kEnds[] = {"Interrupt", "Terminate", "Hangup", "OutputClosed"};
    return std::string(kEnds[static_cast<int>(std::get<0>(param.param))]) +
           std::to_string(std::get<1>(param.param)) + "Ports";
}

INSTANTIATE_TEST_SUITE_P(Matrix, Ends,
                         ::testing::Combine(::testing::Values(End::kInterrupt, End::kTerminate,
                                                              End::kHangup, End::kOutputClosed),
                                            ::testing::Values(std::size_t{1}, std::size_t{2})),
                         CaseName);

// Started with a standard descriptor closed, korvel7 must not let the port or the log file
// take its number: the receiver's line carries nothing but frames, and the log file holds
// the log once.
TEST(StandardDescriptors, ClosedAtStartTakeNeitherPortNorLog) {
    const auto run = [](std::vector<int> closed, bool log_dir) {
        SCOPED_TRACE("closed " + std::to_string(closed.back()));
        sim::Options options;
        options.blank = true;
        sim::PtyServer receiver(options);
        receiver.RecordLine();
        std::string error;
        ASSERT_TRUE(receiver.Start(&error)) << error;
        const TempDir dir;
        std::vector<std::string> args = {"program", "--progress", "--port", receiver.SlavePath()};
        if (log_dir) args.insert(args.end(), {"--log-dir", dir.path.string()});
        const Child child = Spawn(args, false, closed);
        close(child.out);
        EXPECT_EQ(Wait(child.pid), 0);
        for (const sim::LineEvent& event : receiver.LineRecord())
            ASSERT_TRUE(event.to_host || event.command != 0) << event.bytes << " bytes not a frame";
        for (const std::string& log : dir.Files()) {
            EXPECT_EQ(log.find("Entered COM PORT"), log.rfind("Entered COM PORT")) << log;
            EXPECT_TRUE(log.ends_with("\r\nUpdate successful\r\n")) << log;
        }
    };
    std::thread out_to_port(run, std::vector<int>{1}, false);
    std::thread out_to_log(run, std::vector<int>{1}, true);
    std::thread in_and_err(run, std::vector<int>{0, 2}, true);
    for (std::thread* thread : {&out_to_port, &out_to_log, &in_and_err})
        thread->join();
}

// Two names for one receiver, as given or through a link, and a --log-dir that cannot
// take logs are refused before anything is sent to the receiver, naming what is wrong; a
// missing port twice is no receiver twice, and fails as missing.
TEST(Refused, BeforeAnythingIsSent) {
    Bench bench({sim::Options{}});
    const std::string pts = bench[0].SlavePath();
    const TempDir dir;
    fs::create_symlink(pts, dir.path / "by-id");
    for (const std::string& second : {pts, (dir.path / "by-id").string()}) {
        const Result r = RunCli("info --port " + pts + " --port " + second);
        EXPECT_EQ(r.status, 64);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("korvel7: --port " + pts + " and --port " + second + " name the same"),
                  std::string::npos)
            << r.err;
    }
    const Result r = RunCli("program --log-dir /nonexistent/logs" + bench.Ports());
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "korvel7: --log-dir /nonexistent/logs: No such file or directory\n");
    // A station that could not keep its ledger or logs never starts watching.
    for (const std::string refused :
         {"--ledger /nonexistent/ledger.jsonl", "--log-dir /nonexistent"}) {
        const Result station = RunCli("station --include-present --watch " + pts + " " + refused);
        EXPECT_EQ(station.status, 64);
        EXPECT_TRUE(station.err.starts_with("korvel7: ") &&
                    station.err.find(refused.substr(refused.find(' ') + 1)) != std::string::npos)
            << station.err;
    }
    EXPECT_EQ(bench.Count(0, kCmdProbe) + bench.Count(0, kCmdVersion), 0u);
    EXPECT_EQ(RunCli("info --port /dev/korvel7-missing --port /dev/korvel7-missing").status, 2);
}

// A port this process holds already is busy because of this process, which the reason
// says instead of blaming whoever else has the terminal open.
TEST(Refused, TheBusyReasonKnowsItsOwnHold) {
    Bench bench({sim::Options{}});
    const PortRef port = PortFromPath(bench[0].SlavePath());
    Link first, second;
    ASSERT_EQ(first.OpenComPort(port), 1);
    ASSERT_EQ(second.OpenComPort(port), 0);
    const std::string reason = PortOpenReason(port, second.LastOpenError());
    EXPECT_TRUE(reason.ends_with("; this korvel7 has it open")) << reason;
    first.CloseComPort();
}

// A receiver plugged in: a simulator serving `args` at `link`, its commands logged to `log`.
pid_t Plug(const fs::path& link, const fs::path& log, std::vector<std::string> args) {
    args.insert(args.begin(), {KORVEL7_SIM, "--link", link.string(), "--verbose"});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT, 0644);
    pid_t pid = -1;
    posix_spawn(&pid, KORVEL7_SIM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string FileText(const fs::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Waits up to 30 s for `done`.
template <typename Done>
bool Await(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return done();
}

// A station's day in brief: a port present from the start stays untouched until it is
// replaced; A unplugged mid-write fails, plugged again is updated and re-enumerates after
// its reset, which reads its new version without a second update; C talks no NMEA;
// Ctrl-C stops B.
TEST(Station, EachPlugIsOneLedgerLine) {
    const TempDir dir;
    const auto at = [&](const char* name) { return dir.path / name; };
    const fs::path ledger = at("ledger.jsonl");
    const pid_t present = Plug(at("ttyACM9"), at("present.log"), {});
    ASSERT_TRUE(Await([&] { return fs::exists(at("ttyACM9")); }));
    const Child station =
        Spawn({"station", "--json", "--watch", (dir.path / "ttyACM*").string(), "--ledger", ledger},
              false);
    // Plugged once the station surely looks.
    const pid_t first = Plug(at("ttyACM0"), at("a1.log"), {"--blank", "--plug-after", "1000"});
    EXPECT_TRUE(
        Await([&] { return FileText(at("a1.log")).find("command 4 #") != std::string::npos; }));
    kill(first, SIGTERM);
    Wait(first);
    EXPECT_TRUE(Await([&] { return Occurrences(FileText(ledger), "\n") == 1; }));
    // The port present from the start is unplugged, and another receiver takes its place.
    kill(present, SIGTERM);
    Wait(present);
    const std::vector<std::string> fresh = {"--blank", "--firmware", "1.0.0", "--replug-on-reset",
                                            "500"};
    const pid_t again = Plug(at("ttyACM0"), at("a2.log"), fresh);
    const pid_t successor = Plug(at("ttyACM9"), at("successor.log"), fresh);
    const pid_t b = Plug(at("ttyACM1"), at("b.log"), {"--blank", "--write-latency", "40000"});
    const pid_t c = Plug(at("ttyACM2"), at("c.log"), {"--no-nmea"});
    EXPECT_TRUE(Await([&] { return Occurrences(FileText(ledger), "\n") == 4; }));
    kill(station.pid, SIGINT);
    const std::string out = ReadAll(station.out);
    EXPECT_EQ(Wait(station.pid), 1);
    for (const pid_t sim : {again, successor, b, c})
        kill(sim, SIGTERM), Wait(sim);

    EXPECT_EQ(FileText(ledger), out);
    std::map<std::string, std::vector<std::string>> results;  // slot name: results in turn
    for (const nlohmann::json& line : JsonLines(out)) {
        const std::string slot = fs::path(line["slot"].get<std::string>()).filename();
        results[slot].push_back(line["result"]);
        if (line["result"] == "updated") {
            EXPECT_EQ(line["version_before"], "1.0.0");
            EXPECT_EQ(line["version_after"], "2.4.5");
            EXPECT_EQ(line["device_address"], "00:19:01:12:34:56");
            EXPECT_TRUE(line["usb"].is_null());
        }
    }
    using Results = std::vector<std::string>;
    EXPECT_EQ(results, (std::map<std::string, Results>{{"ttyACM0", Results{"failed", "updated"}},
                                                       {"ttyACM1", Results{"failed"}},
                                                       {"ttyACM2", Results{"not a KORVEL7"}},
                                                       {"ttyACM9", Results{"updated"}}}));
    EXPECT_EQ(Occurrences(FileText(at("present.log")), "command"), 0u);
    // Back from its reset, A was asked its version and nothing else.
    const std::string a2 = FileText(at("a2.log"));
    EXPECT_EQ(Occurrences(a2, "command 9 "), 1u);
    EXPECT_EQ(Occurrences(a2, "command 27 "), 2u);
}

// What the threads of process `pid` cost so far: the times they gave up the processor of
// their own accord (each sleep that ended is one), and their time on it.
struct Cost {
    long sleeps = 0;
    std::chrono::nanoseconds cpu{0};
};
Cost CostOf(pid_t pid) {
    Cost cost;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : fs::directory_iterator(tasks)) {
        constexpr std::string_view kSleeps = "\nvoluntary_ctxt_switches:";
        const std::string status = FileText(task.path() / "status");
        const std::size_t at = status.find(kSleeps);
        if (at != std::string::npos) cost.sleeps += std::atol(status.c_str() + at + kSleeps.size());
        cost.cpu +=
            std::chrono::nanoseconds(std::atoll(FileText(task.path() / "schedstat").c_str()));
    }
    return cost;
}

// A station with nothing to do sleeps until something happens instead of looking at a stop
// request again and again; the stop still ends it at once, with its summary.
TEST(Station, IdleItSleepsUntilAStopWakesIt) {
    const TempDir dir;
    const Child station = Spawn({"station", "--watch", (dir.path / "ttyACM*").string()}, true);
    char first = 0;
    ASSERT_EQ(read(station.out, &first, 1), 1);  // "watching for receivers; ..."
    const Cost before = CostOf(station.pid);
    std::this_thread::sleep_for(2s);
    const Cost after = CostOf(station.pid);
    EXPECT_LE(after.sleeps - before.sleeps, 2);
    EXPECT_LT(after.cpu - before.cpu, 50ms);
    kill(station.pid, SIGTERM);
    int status = -1;
    for (int waited = 0; waited < 200 && waitpid(station.pid, &status, WNOHANG) == 0; ++waited)
        std::this_thread::sleep_for(10ms);
    if (kill(station.pid, 0) == 0) {
        ADD_FAILURE() << "the station did not stop within 2 s of SIGTERM";
        kill(station.pid, SIGKILL), Wait(station.pid);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string err = ReadAll(station.err);
    EXPECT_TRUE(
        err.ends_with("station: 0 jobs: 0 updated, 0 unchanged, 0 failed, 0 not a KORVEL7\n"))
        << err;
    close(station.out);
}

}  // namespace
}  // namespace k7::test
