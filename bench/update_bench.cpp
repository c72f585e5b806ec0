// Whole updates against the virtual receiver on a paced 115200-baud line, measured
// against the least time the line allows: the bytes of every exchange on the wire both
// ways, the receiver's own latencies and the fixed waits. What a host adds on top is its
// own cost: thread wake-ups, logging, copies.
//
// The line record of the simulator gives each exchange's timing: when the host's request
// arrived, and when the answer's last byte was through the line model. The host's added
// time for an exchange is what passes from there to its next request; it splits into the
// simulator writing the answer late and the host's turnaround from the actual write.
//
// A fleet run then updates several receivers at once with one korvel7 process (one
// --port each), against one receiver alone just before it: the wall time of the many
// against the one, and the tool's CPU as a share of one core. One thread serves every
// simulated receiver of a run, as one korvel7-sim --count N does.
//
// Every run also checks that the simulator kept its line model: the wire time its record
// gave each direction against what the bytes take at 10 bits a byte, within 1 %, and no
// piece delivered before its time. A run outside fails, as its figures would be the
// simulator's and not the tool's.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "args/args.h"
#include "bench_common.h"
#include "link/link.h"
#include "sim/pty_server.h"

extern char** environ;

namespace {

using namespace k7;
using namespace k7::sim;
using namespace k7::bench;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::uint32_t kBaud = kBaudRate;  // the line the tool opens
constexpr milliseconds kProbeWait{3000};
constexpr milliseconds kCheckPause{1000};
// How far the simulator's wire time may stray from the line model.
constexpr double kModelTolerance = 0.01;
// The probe-wait CPU is sampled inside the wait, clear of its two ends.
constexpr milliseconds kProbeMargin{100};
// Under Wine the receivers are COM7, COM8, ...
constexpr int kFirstWinePort = 7;

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
    std::vector<std::string> command;  // each port follows as --port PORT
    std::string prefix;  // under Wine: the prefix, whose server runs all the while; else empty
    std::vector<std::string> environment;

    std::string Dosdevices() const { return prefix + "/dosdevices"; }

    // Receiver i's port as the tool names it, and the link the simulator makes to it.
    std::string Port(std::size_t i, const PtyServer& server) const {
        if (prefix.empty()) return server.SlavePath();
        return "COM" + std::to_string(kFirstWinePort + static_cast<int>(i));
    }
    std::string Link(std::size_t i) const {
        if (prefix.empty()) return "";
        return Dosdevices() + "/com" + std::to_string(kFirstWinePort + static_cast<int>(i));
    }
};

// Median, p90, p99 and the largest of a set of durations in ms.
struct Spread {
    double median = 0, p90 = 0, p99 = 0, max = 0;
};

struct Figures {
    bool ok = false;
    std::string failure;
    std::size_t receivers = 0;
    double wall_s = 0;
    double minimum_s = 0;  // of the slowest receiver
    Spread added;          // per exchange, from the answer's line end to the next request
    Spread late;           // the simulator's own lateness in writing answers
    Spread turnaround;     // from an answer's actual write to the next request
    double start_ms = 0;   // from the start of the process to its first request
    double end_ms = 0;     // from the last answer to the end of the process
    double cpu_run_ms = 0;
    double cpu_probe_percent = 0;
    double sim_cpu_ms = 0;  // the simulators' thread, meanwhile
    // The wire time the simulator gave each direction against the line model, the worst
    // receiver's, as a share (0.01 is 1 % more); and its latest delivery after its time.
    double model_to_receiver = 0;
    double model_to_host = 0;
    double delivered_late_ms = 0;
    double server_cpu_ms = 0;  // under Wine: the wineserver's, meanwhile
    double peak_mib = 0;
    double load_before = 0;  // the machine's one-minute load average
    double load_after = 0;
    std::size_t exchanges = 0;

    double Ratio() const { return minimum_s > 0 ? wall_s / minimum_s : 0; }
    double CpuPercent() const { return wall_s > 0 ? cpu_run_ms / (10 * wall_s) : 0; }
};

Spread SpreadOf(const std::vector<double>& values) {
    if (values.empty()) return {};
    return {Percentile(values, 0.5), Percentile(values, 0.9), Percentile(values, 0.99),
            *std::max_element(values.begin(), values.end())};
}

double LoadAverage() {
    std::ifstream file("/proc/loadavg");
    double load = 0;
    file >> load;
    return load;
}

double CpuMs(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
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

// The CPU time of the wineserver that serves `prefix`, in ms: Wine's calls for serial
// I/O, waits and events go to it, and its CPU is not in the tool's own account.
double WineServerCpuMs(const std::string& prefix) {
    double total = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    const std::string wanted = "WINEPREFIX=" + prefix;
    while (const dirent* entry = readdir(proc)) {
        const std::string dir = std::string("/proc/") + entry->d_name;
        std::ifstream comm(dir + "/comm");
        std::string name;
        if (!(comm >> name) || name.rfind("wineserver", 0) != 0) continue;
        std::ifstream environment(dir + "/environ");
        bool ours = false;
        for (std::string variable; std::getline(environment, variable, '\0');)
            ours = ours || variable == wanted;
        if (ours)
            total +=
                static_cast<double>(std::max(0LL, ProcessCpuNs(std::atoi(entry->d_name)))) / 1e6;
    }
    closedir(proc);
    return total;
}

// The process's peak resident memory so far (VmHWM), in KiB; 0 once it is gone.
long PeakKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

// Samples a process's peak memory until stopped. wait4's ru_maxrss cannot tell it: a
// spawned child shares the bench's memory until its exec, and the kernel keeps that
// peak, the bench's own, for the child.
class PeakSampler {
public:
    explicit PeakSampler(pid_t pid)
        : thread_([this, pid] {
              while (!stop_.load()) {
                  peak_ = std::max(peak_.load(), PeakKib(pid));
                  std::this_thread::sleep_for(milliseconds(20));
              }
          }) {}
    ~PeakSampler() { Stop(); }
    long Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return peak_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{0};
    std::thread thread_;
};

struct Exchange {
    std::uint8_t command = 0;
    Clock::time_point sent;
    Clock::time_point line_end;  // the answer's last byte, or the request's without one
    bool answered = false;
    Clock::time_point written;  // the answer's actual write
};

// Requests in order, each with the first answer the receiver sent after it.
std::vector<Exchange> Exchanges(const std::vector<LineEvent>& record) {
    std::vector<Exchange> exchanges;
    for (const LineEvent& event : record) {
        if (!event.to_host) {
            exchanges.push_back({event.command, event.ready, event.wire_end, false, {}});
        } else if (!event.nmea && !exchanges.empty() && !exchanges.back().answered) {
            exchanges.back().answered = true;
            exchanges.back().line_end = event.wire_end;
            exchanges.back().written = event.done;
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

long long Ns(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Every receiver's exchanges pooled; the minimum is the slowest receiver's. With a trace
// file, one line per answered exchange with its times (the monotonic clock, ns), for
// lining up with a system trace of the same run.
void Analyse(const std::vector<std::vector<LineEvent>>& records, Clock::time_point started,
             Clock::time_point ended, std::FILE* trace, Figures& figures) {
    std::vector<double> added, late, turnaround;
    Clock::duration slowest_minimum{};
    Clock::time_point first_request = ended, last_answer = started;
    if (trace != nullptr)
        std::fprintf(trace,
                     "receiver command request_read line_end answer_written next_request_read\n");
    for (std::size_t r = 0; r < records.size(); ++r) {
        const std::vector<Exchange> exchanges = Exchanges(records[r]);
        if (exchanges.empty()) continue;
        Clock::duration minimum{};
        for (std::size_t i = 0; i < exchanges.size(); ++i) {
            const Exchange& exchange = exchanges[i];
            const Clock::duration fixed = FixedWait(exchanges, i);
            minimum += exchange.line_end - exchange.sent + fixed;
            if (!exchange.answered) continue;
            late.push_back(Ms(exchange.written - exchange.line_end));
            if (i + 1 >= exchanges.size()) continue;
            const auto next = exchanges[i + 1].sent - fixed;
            added.push_back(Ms(next - exchange.line_end));
            turnaround.push_back(Ms(next - exchange.written));
            if (trace != nullptr)
                std::fprintf(trace, "%zu %u %lld %lld %lld %lld\n", r, unsigned{exchange.command},
                             Ns(exchange.sent), Ns(exchange.line_end), Ns(exchange.written),
                             Ns(next));
        }
        figures.exchanges += exchanges.size();
        slowest_minimum = std::max(slowest_minimum, minimum);
        first_request = std::min(first_request, exchanges.front().sent);
        last_answer = std::max(last_answer, exchanges.back().line_end);
    }
    if (figures.exchanges == 0) return;
    figures.minimum_s = Ms(slowest_minimum) / 1000;
    figures.added = SpreadOf(added);
    figures.late = SpreadOf(late);
    figures.turnaround = SpreadOf(turnaround);
    figures.start_ms = Ms(first_request - started);
    figures.end_ms = Ms(ended - last_answer);
}

// The worst receiver's keeping of the line model, each way; a run outside it fails.
void CheckLineModel(const std::vector<std::vector<LineEvent>>& records, Figures& figures) {
    std::size_t early = 0;
    const auto worse = [](double a, double b) { return std::abs(b) > std::abs(a) ? b : a; };
    for (const auto& record : records) {
        const LineKeeping in = KeepingOf(record, false, kBaud);
        const LineKeeping out = KeepingOf(record, true, kBaud);
        figures.model_to_receiver = worse(figures.model_to_receiver, in.Deviation());
        figures.model_to_host = worse(figures.model_to_host, out.Deviation());
        figures.delivered_late_ms =
            std::max({figures.delivered_late_ms, Ms(in.latest), Ms(out.latest)});
        early += in.early + out.early;
    }
    char problem[160] = "";
    if (early > 0) {
        std::snprintf(problem, sizeof problem,
                      "the simulator delivered %zu pieces before the line model's time", early);
    } else if (std::abs(figures.model_to_receiver) > kModelTolerance ||
               std::abs(figures.model_to_host) > kModelTolerance) {
        std::snprintf(problem, sizeof problem,
                      "the simulator left its line model: wire time %+.2f %% to the receiver, "
                      "%+.2f %% to the host (limit 1 %%)",
                      100 * figures.model_to_receiver, 100 * figures.model_to_host);
    }
    if (problem[0] == '\0') return;
    figures.ok = false;
    figures.failure = problem;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Standard output goes to a file, as a log would, and standard error to one beside it,
// so that no progress display depends on where the bench itself writes; the process's
// own CPU comes from wait4.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> environment,
            const std::string& output) {
    for (char** e = environ; *e != nullptr; ++e)
        environment.emplace_back(*e);  // earlier entries win
    const std::string errors = output + ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
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

// The probe is the first command; the tool then sleeps, and only the receiving threads
// have anything to do.
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

// Starts the simulators' thread, under SCHED_FIFO when asked so that it never waits for a
// CPU and what is left of the tail on a busy machine is the tool's. A new thread takes
// its creator's policy, so this thread holds it only while the loop starts.
bool StartLoop(LineLoop& loop, bool realtime, std::string* error) {
    sched_param fifo{};
    fifo.sched_priority = 10;
    if (realtime && pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) != 0) {
        *error = "SCHED_FIFO was refused (it needs root or CAP_SYS_NICE)";
        return false;
    }
    const bool started = loop.Start(error);
    const sched_param normal{};
    if (realtime) pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    return started;
}

// One korvel7 process updating `receivers` simulated receivers, all of them image `image`.
Figures Run(const Tool& tool, const Image& image, std::size_t receivers, const std::string& output,
            const std::string& trace_path, bool realtime_simulators) {
    Figures figures;
    figures.receivers = receivers;
    figures.load_before = LoadAverage();
    Options options;
    options.version = image.version;
    options.baud = kBaud;
    options.latency = BenchLatencies();
    LineLoop loop;
    std::string error;
    if (!StartLoop(loop, realtime_simulators, &error)) {
        figures.failure = "simulator: " + error;
        return figures;
    }
    std::vector<std::unique_ptr<PtyServer>> servers;
    std::vector<std::string> argv = tool.command;
    for (std::size_t i = 0; i < receivers; ++i) {
        servers.push_back(std::make_unique<PtyServer>(options, tool.Link(i)));
        servers.back()->RecordLine();
        servers.back()->ServeOn(loop);
        if (!servers.back()->Start(&error)) {
            figures.failure = "simulator: " + error;
            return figures;
        }
        argv.push_back("--port");
        argv.push_back(tool.Port(i, *servers.back()));
    }

    const auto sim_before = loop.CpuTime();
    const double server_before = tool.prefix.empty() ? 0 : WineServerCpuMs(tool.prefix);
    const auto started = Clock::now();
    const pid_t pid = Spawn(argv, tool.environment, output);
    if (pid < 0) {
        figures.failure = "starting " + argv[0] + ": " + std::strerror(errno);
        return figures;
    }
    PeakSampler peak(pid);
    figures.cpu_probe_percent = ProbeWaitCpuPercent(*servers.front(), pid);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const auto ended = Clock::now();
    figures.peak_mib = static_cast<double>(peak.Stop()) / 1024;
    const auto sim_used = loop.CpuTime() - sim_before;
    std::vector<std::vector<LineEvent>> records;
    for (auto& server : servers) {
        server->Stop();
        records.push_back(server->LineRecord());
    }

    figures.load_after = LoadAverage();
    figures.wall_s = Ms(ended - started) / 1000;
    figures.cpu_run_ms = CpuMs(usage);
    figures.sim_cpu_ms = Ms(sim_used);
    if (!tool.prefix.empty()) figures.server_cpu_ms = WineServerCpuMs(tool.prefix) - server_before;
    std::FILE* trace = trace_path.empty() ? nullptr : std::fopen(trace_path.c_str(), "w");
    if (trace != nullptr)
        std::fprintf(trace, "# tool pid %d; the simulators are threads of pid %d\n",
                     static_cast<int>(pid), static_cast<int>(getpid()));
    Analyse(records, started, ended, trace, figures);
    if (trace != nullptr) std::fclose(trace);
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!figures.ok) figures.failure = "the update did not succeed; its log is in " + output;
    if (figures.ok) CheckLineModel(records, figures);
    return figures;
}

// A column holds every run of one case; a cell shows the median over the runs that
// succeeded.
struct Column {
    std::string title;
    std::vector<Figures> runs;
};

using Getter = std::function<double(const Figures&)>;

// Wide enough for each run's value side by side.
int g_width = 14;

bool AnyOk(const Column& column) {
    return std::any_of(column.runs.begin(), column.runs.end(),
                       [](const Figures& f) { return f.ok; });
}

double MedianOf(const Column& column, const Getter& get) {
    std::vector<double> values;
    for (const Figures& f : column.runs)
        if (f.ok) values.push_back(get(f));
    return Percentile(values, 0.5);
}

void PrintRow(const std::string& label, const std::vector<Column>& columns, const char* format,
              const Getter& get) {
    std::printf("%-38s", label.c_str());
    for (const Column& column : columns) {
        char cell[32];
        std::snprintf(cell, sizeof cell, format, MedianOf(column, get));
        std::printf("%*s", g_width, AnyOk(column) ? cell : "-");
    }
    std::printf("\n");
}

void PrintSpread(const std::string& label, const std::vector<Column>& columns,
                 Spread Figures::*field) {
    PrintRow(label + ", median (ms)", columns, "%.3f",
             [field](const Figures& f) { return (f.*field).median; });
    PrintRow("    p90", columns, "%.3f", [field](const Figures& f) { return (f.*field).p90; });
    PrintRow("    p99", columns, "%.3f", [field](const Figures& f) { return (f.*field).p99; });
    PrintRow("    max", columns, "%.3f", [field](const Figures& f) { return (f.*field).max; });
}

// Each run's value, for a figure whose spread over the runs matters.
void PrintEachRun(const std::string& label, const std::vector<Column>& columns, const char* format,
                  const Getter& get) {
    std::printf("%-38s", label.c_str());
    for (const Column& column : columns) {
        std::string cell;
        for (const Figures& f : column.runs) {
            char value[16];
            std::snprintf(value, sizeof value, format, f.ok ? get(f) : 0.0);
            cell += (cell.empty() ? "" : " ") + std::string(f.ok ? value : "-");
        }
        std::printf("%*s", g_width, cell.c_str());
    }
    std::printf("\n");
}

void PrintHeader(const std::vector<Column>& columns, std::size_t runs) {
    g_width = std::max(14, 7 * static_cast<int>(runs) + 2);
    if (runs > 1) std::printf("Medians of %zu runs\n", runs);
    std::printf("%-38s", "");
    for (const Column& column : columns)
        std::printf("%*s", g_width, column.title.c_str());
    std::printf("\n");
}

void PrintFailures(const std::vector<Column>& columns) {
    for (const Column& column : columns)
        for (const Figures& f : column.runs)
            if (!f.ok) std::printf("%s: %s\n", column.title.c_str(), f.failure.c_str());
}

// Whether the simulator kept its line model, and the load the run met: the last rows of
// both tables.
void PrintModelAndLoad(const std::vector<Column>& columns) {
    PrintRow("line model kept, to receiver (%)", columns, "%+.3f",
             [](const Figures& f) { return 100 * f.model_to_receiver; });
    PrintRow("  to host (%)", columns, "%+.3f",
             [](const Figures& f) { return 100 * f.model_to_host; });
    PrintRow("  latest delivery after it (ms)", columns, "%.3f",
             [](const Figures& f) { return f.delivered_late_ms; });
    PrintEachRun("load average before", columns, "%.1f",
                 [](const Figures& f) { return f.load_before; });
    PrintEachRun("load average after", columns, "%.1f",
                 [](const Figures& f) { return f.load_after; });
}

void PrintUpdates(const std::vector<Column>& columns, std::size_t runs) {
    PrintHeader(columns, runs);
    PrintRow("exchanges", columns, "%.0f",
             [](const Figures& f) { return static_cast<double>(f.exchanges); });
    PrintRow("wall time (s)", columns, "%.3f", [](const Figures& f) { return f.wall_s; });
    PrintRow("line minimum (s)", columns, "%.3f", [](const Figures& f) { return f.minimum_s; });
    PrintRow("ratio", columns, "%.4f", [](const Figures& f) { return f.Ratio(); });
    if (runs > 1)
        PrintEachRun("  each run", columns, "%.3f", [](const Figures& f) { return f.Ratio(); });
    PrintSpread("added per exchange", columns, &Figures::added);
    if (runs > 1)
        PrintEachRun("  p99, each run", columns, "%.2f",
                     [](const Figures& f) { return f.added.p99; });
    PrintSpread("  answer written late", columns, &Figures::late);
    PrintSpread("  host turnaround", columns, &Figures::turnaround);
    PrintRow("start to first request (ms)", columns, "%.1f",
             [](const Figures& f) { return f.start_ms; });
    PrintRow("last answer to exit (ms)", columns, "%.1f",
             [](const Figures& f) { return f.end_ms; });
    PrintRow("CPU, whole run (ms)", columns, "%.1f", [](const Figures& f) { return f.cpu_run_ms; });
    if (runs > 1)
        PrintEachRun("  each run", columns, "%.0f", [](const Figures& f) { return f.cpu_run_ms; });
    PrintRow("CPU during the probe wait (%)", columns, "%.3f",
             [](const Figures& f) { return f.cpu_probe_percent; });
    PrintRow("peak memory (MiB)", columns, "%.2f", [](const Figures& f) { return f.peak_mib; });
    PrintRow("wineserver's CPU meanwhile (ms)", columns, "%.0f",
             [](const Figures& f) { return f.server_cpu_ms; });
    PrintRow("simulator's CPU meanwhile (ms)", columns, "%.1f",
             [](const Figures& f) { return f.sim_cpu_ms; });
    PrintModelAndLoad(columns);
    PrintFailures(columns);
}

// Pairs of columns: one receiver alone, then the fleet.
void PrintFleet(const std::vector<Column>& columns, std::size_t runs) {
    PrintHeader(columns, runs);
    PrintRow("wall time (s)", columns, "%.3f", [](const Figures& f) { return f.wall_s; });
    // The fleet's wall time over that of the one alone in the same run, per run.
    const auto ratios = [&columns](std::size_t i) {
        std::vector<double> values;
        for (std::size_t r = 0; i % 2 == 1 && r < columns[i].runs.size(); ++r) {
            const Figures& one = columns[i - 1].runs[r];
            const Figures& many = columns[i].runs[r];
            if (one.ok && many.ok) values.push_back(many.wall_s / one.wall_s);
        }
        return values;
    };
    std::printf("%-38s", "  against one alone");
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::vector<double> values = ratios(i);
        char cell[32] = "";
        if (!values.empty()) std::snprintf(cell, sizeof cell, "%.4f", Percentile(values, 0.5));
        std::printf("%*s", g_width, cell);
    }
    std::printf("\n");
    if (runs > 1) {
        std::printf("%-38s", "    each run");
        for (std::size_t i = 0; i < columns.size(); ++i) {
            std::string cell;
            for (double value : ratios(i)) {
                char text[16];
                std::snprintf(text, sizeof text, "%.3f", value);
                cell += (cell.empty() ? "" : " ") + std::string(text);
            }
            std::printf("%*s", g_width, cell.c_str());
        }
        std::printf("\n");
    }
    PrintRow("line minimum, slowest receiver (s)", columns, "%.3f",
             [](const Figures& f) { return f.minimum_s; });
    PrintRow("ratio", columns, "%.4f", [](const Figures& f) { return f.Ratio(); });
    PrintSpread("added per exchange", columns, &Figures::added);
    PrintSpread("  host turnaround", columns, &Figures::turnaround);
    PrintRow("tool's CPU (ms)", columns, "%.1f", [](const Figures& f) { return f.cpu_run_ms; });
    PrintRow("tool's CPU (% of one core)", columns, "%.2f",
             [](const Figures& f) { return f.CpuPercent(); });
    if (runs > 1)
        PrintEachRun("  each run", columns, "%.2f",
                     [](const Figures& f) { return f.CpuPercent(); });
    PrintRow("wineserver's CPU (% of one core)", columns, "%.2f",
             [](const Figures& f) { return f.wall_s > 0 ? f.server_cpu_ms / (10 * f.wall_s) : 0; });
    PrintRow("peak memory (MiB)", columns, "%.2f", [](const Figures& f) { return f.peak_mib; });
    PrintRow("simulators' CPU (% of one core)", columns, "%.2f",
             [](const Figures& f) { return f.wall_s > 0 ? f.sim_cpu_ms / (10 * f.wall_s) : 0; });
    PrintRow("  per receiver (ms)", columns, "%.1f", [](const Figures& f) {
        return f.sim_cpu_ms / static_cast<double>(std::max<std::size_t>(1, f.receivers));
    });
    PrintModelAndLoad(columns);
    PrintFailures(columns);
}

constexpr k7::args::Option kOptions[] = {
    {"--korvel7", "PATH", "the korvel7 under test (required)"},
    {"--wine-exe", "PATH", "also korvel7.exe under Wine, in --wine-prefix DIR"},
    {"--wine-prefix", "DIR", "the Wine prefix for --wine-exe"},
    {"--wine-loader", "PATH", "the Wine loader (default /usr/lib/wine/wine64)"},
    {"--runs", "N", "repeat every case N times and show the medians (default 1)"},
    {"--fleet", "N",
     "receivers at once in the fleet run, up to 32 (default 24; 0\n"
     "leaves it out)"},
    {"--only", "updates|fleet", "run the single updates or the fleet run alone"},
    {"--image", "A|B", "update with that image alone (the fleet always takes A)"},
    {"--out", "DIR", "where the tool's logs go (default /tmp)"},
    {"--trace", "", "also write each run's exchanges with their times to --out DIR"},
    {"--baseline", "PATH",
     "an earlier korvel7, run right after the one under test in\n"
     "every run, so that both meet the same spells of load"},
    {"--wine-baseline", "PATH", "the same for korvel7.exe under Wine"},
    {"--realtime-simulators", "",
     "run the simulators under SCHED_FIFO (root), so that on a\n"
     "busy machine the tail left is the tool's own"},
};

}  // namespace

int main(int argc, char** argv) {
    const CommandLine command_line(
        kOptions,
        "Usage: korvel7-update-bench --korvel7 PATH [OPTION]...\n" + args::OptionHelp(kOptions, 24),
        argc, argv);
    const auto value = [&](std::string_view name, std::string fallback) {
        return command_line.Value(name, std::move(fallback));
    };
    const std::string korvel7 = value("--korvel7", ""), wine_exe = value("--wine-exe", "");
    const std::string wine_prefix = value("--wine-prefix", "");
    const std::string wine_loader = value("--wine-loader", "/usr/lib/wine/wine64");
    const std::string baseline = value("--baseline", ""),
                      wine_baseline = value("--wine-baseline", "");
    const std::string out = value("--out", "/tmp"), only = value("--only", "");
    const std::string image_name = value("--image", "");
    const bool trace = command_line.Has("--trace");
    const bool realtime_simulators = command_line.Has("--realtime-simulators");
    const std::size_t runs = command_line.Count("--runs", "1", 100);
    const std::size_t fleet = command_line.Count("--fleet", "24", 32);
    if (korvel7.empty() || wine_exe.empty() != wine_prefix.empty() || runs == 0 ||
        (only != "" && only != "updates" && only != "fleet") ||
        (image_name != "" && image_name != "A" && image_name != "B"))
        command_line.Fail("");

    std::vector<Tool> tools = {{"native", {korvel7, "program"}, "", {}}};
    if (!baseline.empty()) tools.push_back({"before", {baseline, "program"}, "", {}});
    const std::vector<std::string> wine_environment = {"WINEPREFIX=" + wine_prefix,
                                                       "WINEDEBUG=-all"};
    if (!wine_exe.empty())
        tools.push_back(
            {"wine", {wine_loader, wine_exe, "program"}, wine_prefix, wine_environment});
    if (!wine_exe.empty() && !wine_baseline.empty())
        tools.push_back({"wine-before",
                         {wine_loader, wine_baseline, "program"},
                         wine_prefix,
                         wine_environment});

    std::printf(
        "Whole updates at %u baud, 8N1; receiver latencies: erase %lld us, write %lld us, "
        "read %lld us, every answer %lld us\n\n",
        kBaud, static_cast<long long>(BenchLatencies().erase.count()),
        static_cast<long long>(BenchLatencies().write.count()),
        static_cast<long long>(BenchLatencies().read.count()),
        static_cast<long long>(BenchLatencies().response.count()));

    std::vector<Image> images;
    for (const Image& image : kImages)
        if (image_name.empty() || image_name == image.name) images.push_back(image);

    // Runs go round every case before the next run, and each image's tools run back to
    // back, so that a busy spell of the machine touches one run of each case rather than
    // every run of one, and a tool and its baseline meet much the same load.
    std::vector<Column> updates, fleets;
    const bool do_updates = only != "fleet";
    const bool do_fleet = only != "updates" && fleet > 0;
    for (const Tool& tool : tools) {
        if (do_updates)
            for (const Image& image : images)
                updates.push_back({tool.name + " " + image.name, {}});
        if (do_fleet) {
            fleets.push_back({tool.name + " 1", {}});
            fleets.push_back({tool.name + " " + std::to_string(fleet), {}});
        }
    }
    bool all_ok = true;
    const auto run = [&](Column& column, const Tool& tool, const Image& image, std::size_t n,
                         std::size_t r) {
        std::string name = column.title;
        std::replace(name.begin(), name.end(), ' ', '-');
        name += "-run" + std::to_string(r + 1);
        std::fprintf(stderr, "running %s, run %zu of %zu (load %.1f)...\n", column.title.c_str(),
                     r + 1, runs, LoadAverage());
        column.runs.push_back(Run(tool, image, n, out + "/korvel7-bench-" + name + ".log",
                                  trace ? out + "/korvel7-bench-" + name + ".trace" : "",
                                  realtime_simulators));
        all_ok = all_ok && column.runs.back().ok;
    };
    for (std::size_t r = 0; r < runs; ++r) {
        for (std::size_t i = 0; do_updates && i < images.size(); ++i)
            for (std::size_t t = 0; t < tools.size(); ++t)
                run(updates[t * images.size() + i], tools[t], images[i], 1, r);
        for (std::size_t t = 0; do_fleet && t < tools.size(); ++t) {
            run(fleets[2 * t], tools[t], kImages[0], 1, r);
            run(fleets[2 * t + 1], tools[t], kImages[0], fleet, r);
        }
    }
    if (do_updates) PrintUpdates(updates, runs);
    if (do_updates && do_fleet) std::printf("\n");
    if (do_fleet) {
        std::printf(
            "%zu receivers at once (image A), one korvel7 process with a --port each, "
            "against one alone just before\n",
            fleet);
        PrintFleet(fleets, runs);
    }
    return all_ok ? 0 : 1;
}
