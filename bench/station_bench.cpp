// How fast `korvel7 station` notices a receiver being plugged in, and what it costs while
// nothing is plugged in.
//
// The station runs as a child that watches DIR/k7-*. Receivers (unpaced simulators served
// from this process) are plugged in one after another at DIR/k7-0, each making that link
// to its pseudo-terminal as it starts, so that every time is read from this process's
// monotonic clock. A plug's latency runs from the start of the receiver, just before its
// link is made, to the first bytes the receiver read from the host: the station's probe.
// The station's "appeared; probing" line, read from its standard output as it comes,
// splits that into the watcher noticing the port and the job opening it and probing. Each
// receiver is updated, reboots into its new image and re-enumerates at once, as a real
// one does; it is unplugged once the ledger holds its line, and the slot stays empty for
// the rest time before the next plug. Then, with nothing plugged in, the station's CPU time
// in clock ticks and its context switches over the idle time, from /proc.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "args/args.h"
#include "bench_common.h"
#include "sim/pty_server.h"

extern char** environ;

namespace {

using namespace k7::sim;
using namespace k7::bench;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

constexpr milliseconds kPlugTimeout{60000};  // from the link to the plug's ledger line
constexpr milliseconds kReboot{300};         // from the reset to the plug-in at the same link

std::string FileText(const fs::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::size_t LineCount(const fs::path& path) {
    const std::string text = FileText(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The station's standard output, line by line with the time each line was read.
class OutputReader {
public:
    explicit OutputReader(int fd)
        : thread_([this, fd] {
              std::string pending;
              char buffer[4096];
              for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
                  const Clock::time_point now = Clock::now();
                  pending.append(buffer, static_cast<std::size_t>(n));
                  std::lock_guard<std::mutex> lock(mutex_);
                  for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                      lines_.push_back({now, pending.substr(0, end)});
                      pending.erase(0, end + 1);
                  }
              }
              close(fd);
          }) {}
    ~OutputReader() { thread_.join(); }  // after the station ended

    // When the `n`th line (from 0) holding `text` was read, if it was.
    std::optional<Clock::time_point> NthWith(const std::string& text, std::size_t n) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [time, line] : lines_)
            if (line.find(text) != std::string::npos && n-- == 0) return time;
        return std::nullopt;
    }

private:
    struct Line {
        Clock::time_point time;
        std::string text;
    };
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::thread thread_;
};

// korvel7 `args`, its standard output into `*out`, its standard error into `errors`.
pid_t Spawn(std::vector<std::string> args, const fs::path& errors, int* out) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    *out = pipe_fds[0];
    return pid;
}

// A process's CPU time in clock ticks (utime + stime of every thread) and its context
// switches, voluntary and not, summed over its threads.
struct Cost {
    long long ticks = 0;
    long long voluntary = 0;
    long long involuntary = 0;
};

Cost CostOf(pid_t pid) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    Cost cost;
    // The fields after the command's name, which ends at the last ')': utime and stime
    // are the 12th and 13th.
    const std::string stat = FileText(proc / "stat");
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) return cost;
    std::istringstream fields(stat.substr(name_end + 2));
    std::string skipped;
    for (int i = 0; i < 11; ++i)
        fields >> skipped;
    long long utime = 0, stime = 0;
    fields >> utime >> stime;
    cost.ticks = utime + stime;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(proc / "task", ec)) {
        std::istringstream status(FileText(task.path() / "status"));
        for (std::string line; std::getline(status, line);) {
            const long long value = std::atoll(line.c_str() + line.find(':') + 1);
            if (line.starts_with("voluntary_ctxt_switches:")) cost.voluntary += value;
            if (line.starts_with("nonvoluntary_ctxt_switches:")) cost.involuntary += value;
        }
    }
    return cost;
}

std::string LoadAverage() {
    std::string load = FileText("/proc/loadavg");
    for (int spaces = 0, i = 0; i < static_cast<int>(load.size()); ++i)
        if (load[static_cast<std::size_t>(i)] == ' ' && ++spaces == 3)
            return load.substr(0, static_cast<std::size_t>(i));
    return load;
}

std::string CpuModel() {
    std::istringstream info(FileText("/proc/cpuinfo"));
    for (std::string line; std::getline(info, line);)
        if (line.starts_with("model name")) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

// One plug: when its link was made, when the station said it appeared, when the probe
// came; a plug whose probe or ledger line did not come in time is lost.
struct Plug {
    Clock::time_point linked;
    std::optional<Clock::time_point> seen;
    std::optional<Clock::time_point> probed;
    bool lost = false;
};

// Plugs a receiver in at `link`, waits for its probe and for the ledger to hold
// `ledger_lines` lines, and unplugs it.
Plug PlugOnce(const fs::path& link, const fs::path& ledger, std::size_t ledger_lines) {
    Plugging plugging;
    plugging.replug_on_reset = kReboot;
    PtyServer server(Options{}, link.string(), plugging);
    server.RecordLine();
    Plug plug;
    plug.linked = Clock::now();
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "station-bench: the simulator did not start: %s\n", error.c_str());
        plug.lost = true;
        return plug;
    }
    const Clock::time_point deadline = plug.linked + kPlugTimeout;
    while (Clock::now() < deadline && LineCount(ledger) < ledger_lines) {
        if (!plug.probed)
            for (const LineEvent& event : server.LineRecord())
                if (!event.to_host) {
                    plug.probed = event.ready;
                    break;
                }
        std::this_thread::sleep_for(milliseconds(plug.probed ? 10 : 1));
    }
    plug.lost = !plug.probed || LineCount(ledger) < ledger_lines;
    server.Stop();
    return plug;
}

void PrintSpread(const char* what, const std::vector<double>& values) {
    if (values.empty()) return;
    std::printf("  %-38s p50 %7.1f ms   p99 %7.1f ms   max %7.1f ms\n", what,
                Percentile(values, 0.5), Percentile(values, 0.99),
                *std::max_element(values.begin(), values.end()));
}

constexpr k7::args::Option kOptions[] = {
    {"--korvel7", "PATH", "the korvel7 under test (required)"},
    {"--plugs", "N", "receivers plugged in one after another (default 50)"},
    {"--rest", "MS", "how long the slot stays empty between plugs (default 300)"},
    {"--idle", "S", "seconds the idle station is watched, nothing plugged (default 60)"},
};

}  // namespace

int main(int argc, char** argv) {
    const k7::bench::CommandLine command_line(
        kOptions,
        "Usage: korvel7-station-bench --korvel7 PATH [OPTION]...\n" +
            k7::args::OptionHelp(kOptions, 16),
        argc, argv);
    const std::string korvel7 = command_line.Value("--korvel7", "");
    const std::size_t plugs = command_line.Count("--plugs", "50", 10000);
    const milliseconds rest(command_line.Count("--rest", "300", 60000));
    const std::chrono::seconds idle(command_line.Count("--idle", "60", 3600));
    if (korvel7.empty()) command_line.Fail("");

    char dir_template[] = "/tmp/korvel7-station-bench-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        std::perror("station-bench: a scratch directory");
        return 1;
    }
    const fs::path dir = dir_template, ledger = dir / "ledger.jsonl", link = dir / "k7-0";
    const std::string load_before = LoadAverage();
    int out = -1;
    const pid_t station =
        Spawn({korvel7, "station", "--watch", (dir / "k7-*").string(), "--ledger", ledger.string()},
              dir / "station.err", &out);
    if (station < 0) {
        std::fprintf(stderr, "station-bench: %s did not start\n", korvel7.c_str());
        return 1;
    }
    const OutputReader output(out);
    while (!output.NthWith("watching for receivers", 0) && LineCount(dir / "station.err") == 0)
        std::this_thread::sleep_for(milliseconds(10));

    std::vector<Plug> record;
    std::size_t lost = 0;
    for (std::size_t i = 0; i < plugs; ++i) {
        record.push_back(PlugOnce(link, ledger, i + 1 - lost));
        if (record.back().lost) ++lost;
        std::this_thread::sleep_for(rest);
    }
    std::vector<double> latency, noticed, probed_after;
    const Plug* slowest = nullptr;
    for (std::size_t i = 0; i < record.size(); ++i) {
        Plug& plug = record[i];
        plug.seen = output.NthWith(": appeared; probing", i);
        if (!plug.probed) continue;
        latency.push_back(Ms(*plug.probed - plug.linked));
        if (slowest == nullptr || *plug.probed - plug.linked > *slowest->probed - slowest->linked)
            slowest = &plug;
        if (!plug.seen) continue;
        noticed.push_back(Ms(*plug.seen - plug.linked));
        probed_after.push_back(Ms(*plug.probed - *plug.seen));
    }

    std::this_thread::sleep_for(std::chrono::seconds(1));  // the last job's end settles
    const Cost idle_start = CostOf(station);
    std::this_thread::sleep_for(idle);
    const Cost idle_end = CostOf(station);
    kill(station, SIGTERM);
    int status = 0;
    waitpid(station, &status, 0);

    std::printf("korvel7 station: %zu plugs, one after another, %lld ms apart; %zu lost\n", plugs,
                static_cast<long long>(rest.count()), lost);
    std::printf("machine: %u cores, %s; load %s before, %s after\n",
                std::thread::hardware_concurrency(), CpuModel().c_str(), load_before.c_str(),
                LoadAverage().c_str());
    std::printf("hot-plug latency, from the receiver's link to its first read of the probe:\n");
    PrintSpread("link -> probe", latency);
    PrintSpread("  link -> \"appeared; probing\" read", noticed);
    PrintSpread("  that line -> probe", probed_after);
    if (slowest != nullptr) {
        std::printf("  slowest: plug %td, %.1f ms", slowest - record.data() + 1,
                    Ms(*slowest->probed - slowest->linked));
        if (slowest->seen)
            std::printf(" = %.1f ms until its line was read + %.1f ms to the probe",
                        Ms(*slowest->seen - slowest->linked),
                        Ms(*slowest->probed - *slowest->seen));
        std::printf("\n");
    }
    std::printf(
        "idle for %lld s, nothing plugged in: %lld clock ticks of CPU (%ld a second), %lld "
        "voluntary and %lld involuntary context switches\n",
        static_cast<long long>(idle.count()), idle_end.ticks - idle_start.ticks,
        sysconf(_SC_CLK_TCK), idle_end.voluntary - idle_start.voluntary,
        idle_end.involuntary - idle_start.involuntary);
    const bool stopped = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("station exit status after SIGTERM: %d\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("%s", FileText(dir / "station.err").c_str());
    fs::remove_all(dir);
    return stopped && lost == 0 ? 0 : 1;
}
