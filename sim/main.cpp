// korvel7-sim: a virtual KORVEL7 on a pseudo-terminal, for trying the updater without a
// receiver and for the end-to-end tests.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args/args.h"
#include "korvel7_version.h"
#include "log/log.h"
#include "sim/pty_server.h"

namespace {

using namespace k7::sim;

constexpr int kExitUsage = 64;
constexpr std::uint32_t kMaxNmeaRate = 1000;
constexpr std::uint32_t kMaxFaultDelay = 600000;  // ms
constexpr std::uint32_t kMaxNoise = 1000;
constexpr std::uint32_t kMaxBaud = 4000000;
constexpr std::uint32_t kMaxLatency = 10000000;   // us
constexpr std::uint32_t kMaxPlugTime = 86400000;  // ms, a day
constexpr std::uint32_t kMaxCount = 256;

// The help text around the options' own.
constexpr const char kHelpStart[] = R"(Usage: korvel7-sim [OPTION]...
A virtual KORVEL7 GPS receiver on a pseudo-terminal, to try the updater without a
receiver. Prints the terminal's path (e.g. /dev/pts/3) on the first line of standard
output, then streams NMEA lines and answers the updater's commands until stopped with
Ctrl-C or SIGTERM. Give that path as the serial port: korvel7 version --port /dev/pts/3

)";
constexpr const char kHelpEnd[] = R"(
Numbers are decimal, or hexadecimal with 0x. Exit status: 0 when stopped by a signal,
a hangup fault or --unplug-after, 1 when the terminal could not be served, 64 for a usage error.
)";
constexpr std::size_t kHelpColumn = 22;

struct Settings {
    Options options;
    std::string link;
    std::optional<std::uint32_t> count;  // receivers at PREFIX0, PREFIX1, ...; else one at link
    Plugging plugging;
    bool verbose = false;
    bool help = false;
    bool version = false;
    bool completion = false;  // print the bash completion, for the package
};

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool ParseNumber(std::string_view text, std::uint32_t max, std::uint32_t* out, int base = 10) {
    if (base == 10 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > max) return false;
    }
    *out = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseByte(std::string_view text, std::uint8_t* out, int base = 10) {
    std::uint32_t value;
    if (!ParseNumber(text, 255, &value, base)) return false;
    *out = static_cast<std::uint8_t>(value);
    return true;
}

bool ParseVersion(std::string_view text, Version* version) {
    const auto parts = Split(text, '.');
    return parts.size() == 3 && ParseByte(parts[0], &version->major) &&
           ParseByte(parts[1], &version->minor) && ParseByte(parts[2], &version->patch);
}

bool ParseAddress(std::string_view text, AddressBytes* address) {
    const auto parts = Split(text, ':');
    if (parts.size() != 3) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (parts[i].size() != 2 || !ParseByte(parts[i], &(*address)[i], 16)) return false;
    }
    return true;
}

bool ParseBitError(std::string_view text, BitError* error) {
    const auto parts = Split(text, ':');
    return parts.size() == 2 &&
           ParseNumber(parts[0], static_cast<std::uint32_t>(kMemorySize - 1), &error->offset) &&
           ParseByte(parts[1], &error->mask) && error->mask != 0;
}

constexpr const char kLatencyRange[] = "a number of microseconds from 0 to 10000000";

constexpr const char kPlugTimeRange[] = "a number of milliseconds from 0 to 86400000";

bool ParsePlugTime(std::string_view text, std::chrono::milliseconds* time) {
    std::uint32_t ms;
    if (!ParseNumber(text, kMaxPlugTime, &ms)) return false;
    *time = std::chrono::milliseconds(ms);
    return true;
}

bool ParseLatency(std::string_view text, std::chrono::microseconds* latency) {
    std::uint32_t us;
    if (!ParseNumber(text, kMaxLatency, &us)) return false;
    *latency = std::chrono::microseconds(us);
    return true;
}

struct ActionSpec {
    const char* name;
    FaultAction action;
    std::size_t arg_count;
    std::uint32_t max_arg;
    std::uint32_t max_arg2;
};

constexpr ActionSpec kActions[] = {
    {"drop", FaultAction::kDrop, 0, 0, 0},
    {"delay", FaultAction::kDelay, 1, kMaxFaultDelay, 0},
    {"corrupt", FaultAction::kCorrupt, 0, 0, 0},
    {"kind", FaultAction::kKind, 1, 255, 0},
    {"dup", FaultAction::kDup, 0, 0, 0},
    {"late", FaultAction::kLate, 1, kMaxFaultDelay, 0},
    {"again", FaultAction::kAgain, 1, 255, 0},
    {"status", FaultAction::kStatus, 1, 255, 0},
    {"echo", FaultAction::kEcho, 1, 255, 0},
    {"short", FaultAction::kShort, 1, 254, 0},
    {"differ", FaultAction::kDiffer, 1, 253, 0},
    {"flip", FaultAction::kFlip, 2, 249, 255},
    {"hangup", FaultAction::kHangup, 0, 0, 0},
};

bool ParseFaultRule(std::string_view text, FaultRule* rule) {
    const auto parts = Split(text, ':');
    const ActionSpec* found = nullptr;
    for (const ActionSpec& candidate : kActions) {
        if (parts[0] == candidate.name) found = &candidate;
    }
    if (found == nullptr || parts.size() != 3 + found->arg_count) return false;
    rule->action = found->action;

    std::uint32_t number;
    if (parts[1] == "any") {
        rule->command = kAnyCommand;
    } else if (ParseNumber(parts[1], 255, &number)) {
        rule->command = static_cast<int>(number);
    } else {
        return false;
    }
    if (parts[2] == "all") {
        rule->nth = kEveryOccurrence;
    } else if (!ParseNumber(parts[2], std::numeric_limits<std::uint32_t>::max(), &rule->nth) ||
               rule->nth == 0) {
        return false;
    }
    return (found->arg_count < 1 || ParseNumber(parts[3], found->max_arg, &rule->arg)) &&
           (found->arg_count < 2 || ParseNumber(parts[4], found->max_arg2, &rule->arg2));
}

// One command-line option: its name and help, what its value must look like (null for a
// flag), and how it changes the settings (false for a value that does not parse).
struct SimOption {
    k7::args::Option option;
    const char* expected;
    bool (*apply)(std::string_view value, Settings& settings);
};

constexpr SimOption kOptions[] = {
    {{"--firmware", "X.Y.Z",
      "firmware version it reports before an update (default 2.4.5).\n"
      "A reset after a passed image check of a built-in image\n"
      "reports the version that image carries (korvel7 --version).",
      "The receiver"},
     "X.Y.Z with numbers 0 to 255",
     [](std::string_view v, Settings& s) { return ParseVersion(v, &s.options.version); }},
    {{"--address", "XX:XX:XX",
      "lower three bytes of its device address, hexadecimal\n"
      "(default 12:34:56; the upper three are always 00:19:01)"},
     "XX:XX:XX in hexadecimal",
     [](std::string_view v, Settings& s) { return ParseAddress(v, &s.options.address); }},
    {{"--blank", "",
      "start with erased memory (all 0xFF); by default the first\n"
      "128 KiB hold old firmware, so a missed erase spoils a write"},
     nullptr,
     [](std::string_view, Settings& s) {
         s.options.blank = true;
         return true;
     }},
    {{"--nmea-rate", "N", "NMEA lines per second, 0 to 1000 (default 2)"},
     "a number of lines per second from 0 to 1000",
     [](std::string_view v, Settings& s) {
         std::uint32_t rate;
         if (!ParseNumber(v, kMaxNmeaRate, &rate)) return false;
         s.options.nmea_rate = rate;
         return true;
     }},
    {{"--no-nmea", "", "send no NMEA lines (same as --nmea-rate 0)"},
     nullptr,
     [](std::string_view, Settings& s) {
         s.options.nmea_rate = 0;
         return true;
     }},
    {{"--seed", "N",
      "seed for the noise bytes and the NMEA positions (default 1);\n"
      "the same options and seed give the same bytes"},
     "a number from 0 to 4294967295",
     [](std::string_view v, Settings& s) {
         return ParseNumber(v, std::numeric_limits<std::uint32_t>::max(), &s.options.seed);
     }},
    {{"--baud", "N",
      "pace the bytes both ways as a serial line of N bits per\n"
      "second would, 10 bits a byte (8N1); e.g. --baud 115200",
      "The line (all off by default: answers go out at once, bytes take no time)"},
     "a number of bits per second from 0 to 4000000",
     [](std::string_view v, Settings& s) { return ParseNumber(v, kMaxBaud, &s.options.baud); }},
    {{"--erase-latency", "US", "microseconds an erase takes before its answer starts"},
     kLatencyRange,
     [](std::string_view v, Settings& s) { return ParseLatency(v, &s.options.latency.erase); }},
    {{"--write-latency", "US", "the same for a write"},
     kLatencyRange,
     [](std::string_view v, Settings& s) { return ParseLatency(v, &s.options.latency.write); }},
    {{"--read-latency", "US", "the same for a read"},
     kLatencyRange,
     [](std::string_view v, Settings& s) { return ParseLatency(v, &s.options.latency.read); }},
    {{"--response-latency", "US", "microseconds before every answer, on top of the above"},
     kLatencyRange,
     [](std::string_view v, Settings& s) { return ParseLatency(v, &s.options.latency.response); }},
    {{"--link", "PATH",
      "also make PATH a symbolic link to the terminal, replacing a\n"
      "symbolic link already there; removed at exit. Under Wine,\n"
      "$WINEPREFIX/dosdevices/com7 makes the terminal COM7.",
      "Serving"},
     "a path",
     [](std::string_view v, Settings& s) {
         s.link = v;
         return !v.empty();
     }},
    {{"--count", "N",
      "serve N receivers (1 to 256) from one process, linked at\n"
      "PATH0 to PATH<N-1> for --link PATH; the other options\n"
      "apply to each. Prints each terminal's path, in that order."},
     "a number of receivers from 1 to 256",
     [](std::string_view v, Settings& s) {
         std::uint32_t count;
         if (!ParseNumber(v, kMaxCount, &count) || count == 0) return false;
         s.count = count;
         return true;
     }},
    {{"--plug-after", "MS",
      "serve at once, but make the --link only MS milliseconds\n"
      "later, as a receiver plugged in then"},
     kPlugTimeRange,
     [](std::string_view v, Settings& s) { return ParsePlugTime(v, &s.plugging.plug_after); }},
    {{"--unplug-after", "MS",
      "MS milliseconds after the start, remove the link and hang\n"
      "up the terminal as an unplugged receiver would, and exit"},
     kPlugTimeRange,
     [](std::string_view v, Settings& s) {
         return ParsePlugTime(v, &s.plugging.unplug_after.emplace());
     }},
    {{"--replug-on-reset", "MS",
      "on a reset into a new image (after a passed image check),\n"
      "unplug as above and plug in again MS milliseconds later on\n"
      "a new terminal at the same --link, running the new version"},
     kPlugTimeRange,
     [](std::string_view v, Settings& s) {
         return ParsePlugTime(v, &s.plugging.replug_on_reset.emplace());
     }},
    {{"--verbose", "",
      "log every command received, and what was answered, to\n"
      "standard error"},
     nullptr,
     [](std::string_view, Settings& s) {
         s.verbose = true;
         return true;
     }},
    {{"--help", "", "show this text and exit"},
     nullptr,
     [](std::string_view, Settings& s) {
         s.help = true;
         return true;
     }},
    {{"--version", "", "show the program's version and exit"},
     nullptr,
     [](std::string_view, Settings& s) {
         s.version = true;
         return true;
     }},
    {{"--fault", "RULE",
      "change the answers to some commands; may be given many times,\n"
      "all matching rules apply in the order given. RULE is\n"
      "ACTION:CMD:NTH[:ARG...] where\n"
      "  CMD  a command code (decimal or 0x..) or \"any\"\n"
      "  NTH  which received frame of that command, from 1\n"
      "       (counting frames of that code; of every code for\n"
      "       \"any\"), or \"all\"\n"
      "and ACTION one of\n"
      "  drop              no answer (the command is carried out)\n"
      "  delay:MS          answer MS milliseconds later\n"
      "  corrupt           answer with a wrong checksum\n"
      "  kind:K            answer with response kind K\n"
      "  dup               answer twice\n"
      "  late:MS           answer, and again MS milliseconds later\n"
      "  again:C           answer, and again in place of the answer\n"
      "                    to the next frame of command C\n"
      "  status:S          image check answered with status S\n"
      "  echo:E            data answer with E as its first byte\n"
      "                    instead of the command code\n"
      "  short:N           data or read-back answer cut to N\n"
      "                    payload bytes\n"
      "  differ:I          data answer with the lowest bit of\n"
      "                    payload byte I flipped (for 200,\n"
      "                    bytes 4 to 6 are the address)\n"
      "  flip:OFFSET:MASK  read-back data byte OFFSET (from the\n"
      "                    chunk's start) XOR MASK\n"
      "  hangup            close the line instead of answering;\n"
      "                    the simulator then exits\n"
      "Examples: drop:4:3  late:5:2:300  again:5:31:4  status:7:1:0x22\n"
      "          flip:5:all:17:0x40  hangup:any:500",
      "Faults"},
     "ACTION:CMD:NTH[:ARG...] (see --help)",
     [](std::string_view v, Settings& s) {
         FaultRule rule;
         if (!ParseFaultRule(v, &rule)) return false;
         s.options.faults.push_back(rule);
         return true;
     }},
    {{"--noise", "N",
      "N random bytes (never 0x88 or '$') before every answer,\n"
      "0 to 1000"},
     "a number of bytes from 0 to 1000",
     [](std::string_view v, Settings& s) {
         std::uint32_t noise;
         if (!ParseNumber(v, kMaxNoise, &noise)) return false;
         s.options.noise = noise;
         return true;
     }},
    {{"--bit-error", "OFFSET:MASK",
      "memory byte at OFFSET reads back XOR MASK, for the host\n"
      "and for the receiver's own image check; repeatable"},
     "OFFSET:MASK with OFFSET below 0x100000 and MASK from 1 to 255",
     [](std::string_view v, Settings& s) {
         BitError error;
         if (!ParseBitError(v, &error)) return false;
         s.options.bit_errors.push_back(error);
         return true;
     }},
    {{"--refuse-erase", "BLOCK",
      "never answer the erase of block BLOCK (memory offset / 4096,\n"
      "from 0) and leave it unerased; repeatable"},
     "a block number from 0 to 255",
     [](std::string_view v, Settings& s) {
         std::uint32_t block;
         if (!ParseNumber(v, kMemorySize / kEraseBlockSize - 1, &block)) return false;
         s.options.refused_erase_blocks.push_back(block);
         return true;
     }},
    {{"--silent", "", "answer nothing and send no NMEA"},
     nullptr,
     [](std::string_view, Settings& s) {
         s.options.silent = true;
         return true;
     }},
    {{"--bash-completion", "", ""},
     nullptr,
     [](std::string_view, Settings& s) {
         s.completion = true;
         return true;
     }},
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "korvel7-sim: %s\nTry 'korvel7-sim --help'.\n", message.c_str());
    return kExitUsage;
}

std::vector<k7::args::Option> OptionList() {
    std::vector<k7::args::Option> options;
    for (const SimOption& entry : kOptions)
        options.push_back(entry.option);
    return options;
}

// Plugging in again and plugging in late happen at the link: without one, no host could
// find the receiver.
int LinkProblem(const Settings& settings) {
    if (!settings.link.empty()) return 0;
    if (settings.count) return UsageError("--count needs --link");
    if (settings.plugging.replug_on_reset) return UsageError("--replug-on-reset needs --link");
    if (settings.plugging.plug_after.count() > 0) return UsageError("--plug-after needs --link");
    return 0;
}

// Options come as "--name value" or "--name=value" and apply in the order given, so that
// the first bad one is the one reported. Returns 0, or the exit status of a usage error
// that it has reported.
int ParseCommandLine(int argc, char** argv, Settings* settings) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const k7::args::Parsed parsed = k7::args::Parse(OptionList(), args, false);
    for (std::size_t i = 0; i < parsed.given.size(); ++i) {
        if (parsed.problem != k7::args::Problem::kNone && i == parsed.problem_at) break;
        const SimOption& entry = kOptions[parsed.given[i].option];
        if (!entry.apply(parsed.given[i].value, *settings))
            return UsageError(std::string(entry.option.name) + ": '" + parsed.given[i].value +
                              "' is not valid; expected " + entry.expected);
    }
    const SimOption& entry = kOptions[parsed.problem_option];
    switch (parsed.problem) {
        case k7::args::Problem::kNone:
            return LinkProblem(*settings);
        case k7::args::Problem::kUnknown:
            return UsageError("unknown option '" + parsed.problem_arg + "'");
        case k7::args::Problem::kMissingValue:
            return UsageError(std::string(entry.option.name) + " needs " + entry.expected);
        case k7::args::Problem::kFlagValue:
            break;
    }
    return UsageError(std::string(entry.option.name) + " takes no value");
}

bool AnyRunning(const std::vector<std::unique_ptr<PtyServer>>& servers) {
    for (const auto& server : servers)
        if (server->Running()) return true;
    return false;
}

// Waits for SIGINT or SIGTERM (blocked by the caller) while any server runs.
void WaitForSignal(const sigset_t& signals,
                   const std::vector<std::unique_ptr<PtyServer>>& servers) {
    const timespec poll_interval{0, 200 * 1000 * 1000};
    while (AnyRunning(servers)) {
        if (sigtimedwait(&signals, nullptr, &poll_interval) > 0) return;
    }
}

// The links of the receivers: the one at --link, or --count of them numbered after it.
std::vector<std::string> Links(const Settings& settings) {
    if (!settings.count) return {settings.link};
    std::vector<std::string> links;
    for (std::uint32_t i = 0; i < *settings.count; ++i)
        links.push_back(settings.link + std::to_string(i));
    return links;
}

// Reports how a server ended; false when it failed.
bool ReportEnd(const PtyServer& server, bool stopped_itself) {
    const std::string failure = server.Failure();
    if (!failure.empty()) {
        std::fprintf(stderr, "korvel7-sim: %s\n", failure.c_str());
        return false;
    }
    if (stopped_itself && !server.Unplugged())
        std::fprintf(stderr, "korvel7-sim: hung up %s as a fault rule asked\n",
                     server.SlavePath().c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    k7::OpenClosedStandardDescriptors();
    Settings settings;
    if (const int status = ParseCommandLine(argc, argv, &settings); status != 0) return status;
    if (settings.help) {
        std::printf("%s%s%s", kHelpStart, k7::args::OptionHelp(OptionList(), kHelpColumn).c_str(),
                    kHelpEnd);
        return 0;
    }
    if (settings.completion) {
        const std::vector<k7::args::Option> options = OptionList();
        const k7::args::CompletionEntry entry{"", options};
        std::fputs(k7::args::BashCompletion("korvel7-sim", {&entry, 1}).c_str(), stdout);
        return 0;
    }
    if (settings.version) {
        std::printf("korvel7-sim %s\n", KORVEL7_VERSION);
        return 0;
    }
    if (settings.verbose) {
        settings.options.trace = [](const std::string& line) {
            std::fprintf(stderr, "korvel7-sim: %s\n", line.c_str());
        };
    }

    // Blocked before the server thread starts, so that only sigtimedwait takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const bool linked_at_start =
        !settings.link.empty() && settings.plugging.plug_after.count() == 0;
    settings.plugging.notice = [](const std::string& line) {
        std::fprintf(stderr, "korvel7-sim: %s\n", line.c_str());
    };
    // Every receiver is served by one thread, however many there are.
    LineLoop loop;
    std::string error;
    if (!loop.Start(&error)) {
        std::fprintf(stderr, "korvel7-sim: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<PtyServer>> servers;
    for (const std::string& link : Links(settings)) {
        servers.push_back(std::make_unique<PtyServer>(settings.options, link, settings.plugging));
        PtyServer& server = *servers.back();
        server.ServeOn(loop);
        if (!server.Start(&error)) {
            std::fprintf(stderr, "korvel7-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", server.SlavePath().c_str());
        std::fflush(stdout);
        if (linked_at_start)
            std::fprintf(stderr, "korvel7-sim: %s links to %s\n", link.c_str(),
                         server.SlavePath().c_str());
    }

    WaitForSignal(signals, servers);
    std::vector<bool> stopped_itself;
    for (const auto& server : servers)
        stopped_itself.push_back(!server->Running());
    bool ok = true;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        servers[i]->Stop();
        ok = ReportEnd(*servers[i], stopped_itself[i]) && ok;
    }
    return ok ? 0 : 1;
}
