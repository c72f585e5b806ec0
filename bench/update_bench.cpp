// Whole updates against the virtual receiver on a paced 115200-baud line, measured
// against the least time the line allows: the bytes of every exchange on the wire both
// ways, the receiver's own latencies and the fixed waits. What a host adds on top is its
// own cost: thread wake-ups, logging, copies.
//
// The line record of the simulator gives each exchange's timing: when the host's request
// arrived, and when the answer's last byte was through the line model. The host's added
// time for an exchange is what passes from there to its next request.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/link.h"
#include "sim/pty_server.h"

extern char** environ;

namespace {

using namespace k7;
using namespace k7::sim;
using std::chrono::duration;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::uint32_t kBaud = kBaudRate;  // the line the tool opens
constexpr milliseconds kProbeWait{3000};
constexpr milliseconds kCheckPause{1000};
// The probe-wait CPU is sampled inside the wait, clear of its two ends.
constexpr milliseconds kProbeMargin{100};

// Made-up but plausible flash timings; they add to the minimum and to nothing else.
Latencies BenchLatencies() {
    Latencies latency;
    latency.erase = milliseconds(20);
    latency.write = microseconds(1000);
    latency.read = microseconds(200);
    latency.response = microseconds(100);
    return latency;
}

struct Image {
    const char* name;
    Version version;  // a receiver this old gets that image
};
constexpr Image kImages[] = {{"A", {2, 4, 5}}, {"B", {3, 0, 0}}};

struct Tool {
    std::string name;
    std::vector<std::string> command;  // the port argument follows
    std::string port;                  // empty: the pseudo-terminal's own path
    std::string link;                  // a path to link to the pseudo-terminal, or empty
    std::vector<std::string> environment;
};

struct Figures {
    bool ok = false;
    std::string failure;
    double wall_s = 0;
    double minimum_s = 0;
    double median_added_ms = 0;
    double p99_added_ms = 0;
    double sim_late_ms = 0;    // the simulator's own lateness in writing answers, median
    double turnaround_ms = 0;  // from an answer's actual write to the next request, median
    double start_ms = 0;       // from the start of the process to its first request
    double end_ms = 0;         // from the last answer to the end of the process
    double cpu_run_ms = 0;
    double cpu_probe_percent = 0;
    double peak_mib = 0;
    std::size_t exchanges = 0;
};

double Ms(Clock::duration d) {
    return duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(values.size()) + 0.999999);
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// CPU time of every thread of a process, in nanoseconds; -1 once it is gone.
long long ProcessCpuNs(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    long long total = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
        long long ns = 0;
        if (stat >> ns) total += ns;
    }
    closedir(dir);
    return total;
}

struct Exchange {
    std::uint8_t command = 0;
    Clock::time_point sent;
    Clock::time_point line_end;  // the answer's last byte, or the request's without one
    bool answered = false;
    Clock::duration late{};
};

// Requests in order, each with the first answer the receiver sent after it.
std::vector<Exchange> Exchanges(const std::vector<LineEvent>& record) {
    std::vector<Exchange> exchanges;
    for (const LineEvent& event : record) {
        if (!event.to_host) {
            exchanges.push_back({event.command, event.ready, event.wire_end});
        } else if (!event.nmea && !exchanges.empty() && !exchanges.back().answered) {
            exchanges.back().answered = true;
            exchanges.back().line_end = event.wire_end;
            exchanges.back().late = event.done - event.wire_end;
        }
    }
    return exchanges;
}

// The host sleeps after the probe, and before it asks for the receiver's image check.
Clock::duration FixedWait(const std::vector<Exchange>& exchanges, std::size_t i) {
    if (exchanges[i].command == kCmdProbe) return kProbeWait;
    const bool before_check = exchanges[i].command != kCmdImageCheck && i + 1 < exchanges.size() &&
                              exchanges[i + 1].command == kCmdImageCheck;
    return before_check ? kCheckPause : Clock::duration::zero();
}

void Analyse(const std::vector<LineEvent>& record, Clock::time_point started,
             Clock::time_point ended, Figures& figures) {
    const std::vector<Exchange> exchanges = Exchanges(record);
    if (exchanges.empty()) return;
    Clock::duration minimum{};
    std::vector<double> added;
    std::vector<double> late;
    std::vector<double> turnaround;
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        const Exchange& exchange = exchanges[i];
        const Clock::duration fixed = FixedWait(exchanges, i);
        minimum += exchange.line_end - exchange.sent + fixed;
        if (exchange.answered) late.push_back(Ms(exchange.late));
        if (exchange.answered && i + 1 < exchanges.size()) {
            const auto next = exchanges[i + 1].sent - fixed;
            added.push_back(Ms(next - exchange.line_end));
            turnaround.push_back(Ms(next - exchange.line_end - exchange.late));
        }
    }
    figures.exchanges = exchanges.size();
    figures.minimum_s = Ms(minimum) / 1000;
    figures.median_added_ms = Percentile(added, 0.5);
    figures.p99_added_ms = Percentile(added, 0.99);
    figures.sim_late_ms = Percentile(late, 0.5);
    figures.turnaround_ms = Percentile(turnaround, 0.5);
    figures.start_ms = Ms(exchanges.front().sent - started);
    figures.end_ms = Ms(ended - exchanges.back().line_end);
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Standard output goes to a file, as a log would; the process's own CPU and memory come
// from wait4.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> environment,
            const std::string& output) {
    for (char** e = environ; *e != nullptr; ++e)
        environment.emplace_back(*e);  // earlier entries win
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    auto args = Pointers(argv);
    auto env = Pointers(environment);
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

// The probe is the first command; the tool then sleeps, and only the receiving thread
// has anything to do.
double ProbeWaitCpuPercent(const PtyServer& server, pid_t pid) {
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    while (server.Inspect([](const Receiver& r) { return r.CommandCount(kCmdProbe); }) == 0) {
        if (Clock::now() > give_up || ProcessCpuNs(pid) < 0) return -1;
        std::this_thread::sleep_for(milliseconds(1));
    }
    const auto probe = Clock::now();
    std::this_thread::sleep_until(probe + kProbeMargin);
    const long long before = ProcessCpuNs(pid);
    std::this_thread::sleep_until(probe + kProbeWait - kProbeMargin);
    const long long after = ProcessCpuNs(pid);
    if (before < 0 || after < 0) return -1;
    const double window_ns =
        static_cast<double>(std::chrono::nanoseconds(kProbeWait - 2 * kProbeMargin).count());
    return 100.0 * static_cast<double>(after - before) / window_ns;
}

Figures RunOnce(const Tool& tool, const Image& image, const std::string& output) {
    Figures figures;
    Options options;
    options.version = image.version;
    options.baud = kBaud;
    options.latency = BenchLatencies();
    PtyServer server(options, tool.link);
    server.RecordLine();
    std::string error;
    if (!server.Start(&error)) {
        figures.failure = "simulator: " + error;
        return figures;
    }
    std::vector<std::string> argv = tool.command;
    argv.push_back(tool.port.empty() ? server.SlavePath() : tool.port);

    const auto started = Clock::now();
    const pid_t pid = Spawn(argv, tool.environment, output);
    if (pid < 0) {
        figures.failure = "starting " + argv[0] + ": " + std::strerror(errno);
        return figures;
    }
    figures.cpu_probe_percent = ProbeWaitCpuPercent(server, pid);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const auto ended = Clock::now();
    server.Stop();

    figures.wall_s = Ms(ended - started) / 1000;
    figures.cpu_run_ms = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    figures.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024;  // reported in KiB
    Analyse(server.LineRecord(), started, ended, figures);
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!figures.ok) figures.failure = "the update did not succeed; its log is in " + output;
    return figures;
}

struct Column {
    std::string title;
    Figures figures;
};

void PrintRow(const char* label, const std::vector<Column>& columns, const char* format,
              double Figures::*field) {
    std::printf("%-34s", label);
    for (const Column& column : columns) {
        char cell[32];
        std::snprintf(cell, sizeof cell, format, column.figures.*field);
        std::printf("%14s", column.figures.ok ? cell : "-");
    }
    std::printf("\n");
}

void PrintTable(const std::vector<Column>& columns) {
    std::printf("%-34s", "");
    for (const Column& column : columns)
        std::printf("%14s", column.title.c_str());
    std::printf("\n%-34s", "exchanges");
    for (const Column& column : columns)
        std::printf("%14zu", column.figures.exchanges);
    std::printf("\n");
    PrintRow("wall time (s)", columns, "%.3f", &Figures::wall_s);
    PrintRow("line minimum (s)", columns, "%.3f", &Figures::minimum_s);
    std::printf("%-34s", "ratio");
    for (const Column& column : columns) {
        const Figures& f = column.figures;
        char cell[32];
        std::snprintf(cell, sizeof cell, "%.4f", f.minimum_s > 0 ? f.wall_s / f.minimum_s : 0.0);
        std::printf("%14s", f.ok ? cell : "-");
    }
    std::printf("\n");
    PrintRow("added per exchange, median (ms)", columns, "%.3f", &Figures::median_added_ms);
    PrintRow("added per exchange, p99 (ms)", columns, "%.3f", &Figures::p99_added_ms);
    PrintRow("  answer written late, median (ms)", columns, "%.3f", &Figures::sim_late_ms);
    PrintRow("  host turnaround, median (ms)", columns, "%.3f", &Figures::turnaround_ms);
    PrintRow("start to first request (ms)", columns, "%.1f", &Figures::start_ms);
    PrintRow("last answer to exit (ms)", columns, "%.1f", &Figures::end_ms);
    PrintRow("CPU, whole run (ms)", columns, "%.1f", &Figures::cpu_run_ms);
    PrintRow("CPU during the probe wait (%)", columns, "%.3f", &Figures::cpu_probe_percent);
    PrintRow("peak memory (MiB)", columns, "%.2f", &Figures::peak_mib);
    for (const Column& column : columns) {
        if (!column.figures.ok)
            std::printf("%s: %s\n", column.title.c_str(), column.figures.failure.c_str());
    }
}

constexpr const char kUsage[] =
    "Usage: korvel7-update-bench --korvel7 PATH [--wine-exe PATH --wine-prefix DIR "
    "[--wine-loader PATH]] [--out DIR]\n";

bool TakeValue(int argc, char** argv, int& i, std::string_view name, std::string* value) {
    if (argv[i] != name) return false;
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n%s", argv[i], kUsage);
        std::exit(64);
    }
    *value = argv[++i];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string korvel7, wine_exe, wine_prefix, wine_loader = "/usr/lib/wine/wine64";
    std::string out = "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (!TakeValue(argc, argv, i, "--korvel7", &korvel7) &&
            !TakeValue(argc, argv, i, "--wine-exe", &wine_exe) &&
            !TakeValue(argc, argv, i, "--wine-prefix", &wine_prefix) &&
            !TakeValue(argc, argv, i, "--wine-loader", &wine_loader) &&
            !TakeValue(argc, argv, i, "--out", &out)) {
            std::fprintf(stderr, "unknown argument %s\n%s", argv[i], kUsage);
            return 64;
        }
    }
    if (korvel7.empty() || wine_exe.empty() != wine_prefix.empty()) {
        std::fprintf(stderr, "%s", kUsage);
        return 64;
    }

    std::vector<Tool> tools = {{"native", {korvel7, "program", "--port"}, "", "", {}}};
    if (!wine_exe.empty())
        tools.push_back({"wine",
                         {wine_loader, wine_exe, "program", "--port"},
                         "COM7",
                         wine_prefix + "/dosdevices/com7",
                         {"WINEPREFIX=" + wine_prefix, "WINEDEBUG=-all"}});

    std::printf(
        "Whole updates at %u baud, 8N1; receiver latencies: erase %lld us, write %lld us, "
        "read %lld us, every answer %lld us\n\n",
        kBaud, static_cast<long long>(BenchLatencies().erase.count()),
        static_cast<long long>(BenchLatencies().write.count()),
        static_cast<long long>(BenchLatencies().read.count()),
        static_cast<long long>(BenchLatencies().response.count()));
    std::vector<Column> columns;
    bool all_ok = true;
    for (const Tool& tool : tools) {
        for (const Image& image : kImages) {
            const std::string title = tool.name + " " + image.name;
            std::fprintf(stderr, "running %s...\n", title.c_str());
            const std::string output =
                out + "/korvel7-bench-" + tool.name + "-" + image.name + ".log";
            columns.push_back({title, RunOnce(tool, image, output)});
            all_ok = all_ok && columns.back().figures.ok;
        }
    }
    PrintTable(columns);
    return all_ok ? 0 : 1;
}
