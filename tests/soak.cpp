// korvel7-soak: whole updates against the virtual receiver under random faults drawn from the
// soak's seed and the run's index, so any run repeats alone. A run must end within the bound
// its waits allow, and report success only when the receiver's memory holds the chosen image:
// faults act on answers only, nothing is erased or written after its read-back bar a failed
// block, and a bit error shows in every read, so such a success is always the host's fault.
// A run with no faults, or only faults that the retries absorb, must succeed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <random>

#include "link/frame.h"
#include "link/link.h"
#include "log/log.h"
#include "sim/pty_server.h"
#include "tests/format.h"
#include "update/firmware_update.h"
#include "update/update_worker.h"

namespace k7 {
namespace {

using namespace std::chrono;
using enum sim::FaultAction;
using test::Format;

constexpr unsigned kAttempts = 5;  // per ordinary exchange, and erase tries per block
constexpr LinkWaits kWaits{20ms, 200ms};
constexpr milliseconds kProbeWait = 100ms, kCheckPause = 10ms;
constexpr milliseconds kPortWork = 1000ms;  // opening and closing it, with its receiving thread
constexpr auto kAttemptMs = static_cast<unsigned>(kWaits.attempt.count());

std::span<const std::uint8_t> ImageFor(int major) {
    if (major == 1 || major == 2) return BuiltInImages().a;
    return major == 3 ? BuiltInImages().b : std::span<const std::uint8_t>{};
}

unsigned Units(std::size_t size, std::size_t unit) {
    return static_cast<unsigned>((size + unit - 1) / unit);
}

// An attempt at most: its wait, then its frame's time at 115200 baud, 10 bits a byte,
// which on a pseudo-terminal is room for the host's own work.
microseconds Attempt(milliseconds wait, std::size_t payload) {
    return wait + microseconds((payload + kFrameOverhead) * 10 * 1'000'000 / kBaudRate);
}

// The commands whose frames faults aim at: writes and reads most, as there are most of them.
constexpr int kTargets[] = {kCmdWriteChunk, kCmdWriteChunk, kCmdWriteChunk, kCmdReadChunk,
                            kCmdReadChunk,  kCmdReadChunk,  kCmdEraseBlock, kCmdEraseBlock,
                            kCmdVersion,    kCmdImageCheck};

enum Intent { kClean, kMild, kHard };  // mild: faults that the retries absorb
constexpr const char* kIntentNames[] = {"clean", "mild", "hard"};

// One run's receiver and faults. mt19937_64 gives the same numbers with every library (its
// distributions would not). Each fault aims at one of the frames a run without faults sends.
struct Scenario {
    std::mt19937_64 rng;
    Intent intent = kClean;
    sim::Options options;
    std::string faults;  // what was drawn, for the report
    int command = 0;
    unsigned nth = 0;

    Scenario(std::uint64_t seed, std::uint64_t run);
    unsigned Below(std::size_t n) { return static_cast<unsigned>(rng() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    unsigned Size() const { return static_cast<unsigned>(ImageFor(options.version.major).size()); }
    void Note(const std::string& text) { faults += ", " + text; }
    const auto& Pick(const auto& items) { return items[Below(std::size(items))]; }
    Scenario& At(int code, unsigned frame = 0) {           // frame 0: one drawn
        unsigned frames = code == kCmdImageCheck ? 2 : 1;  // the check and the reset order
        if (code == kCmdEraseBlock) frames = Units(Size(), kBlockSize);
        if (code == kCmdWriteChunk || code == kCmdReadChunk) frames = Units(Size(), kChunkSize);
        command = code;
        nth = frame != 0 ? frame : 1 + Below(frames);
        return *this;
    }
    void Rule(const char* name, sim::FaultAction action, std::optional<unsigned> arg = {},
              unsigned frames = 1) {
        for (; frames > 0; --frames, ++nth) {
            options.faults.push_back({action, command, nth, arg.value_or(0), 0});
            Note(name + Format(" %u#%u", static_cast<unsigned>(command), nth) +
                 (arg ? Format(":%u", *arg) : ""));
        }
    }
    void TooMany(bool may_come_again) {  // an answer too many
        if (Chance(may_come_again ? 40 : 50)) return Rule("dup", kDup);
        if (!may_come_again || Chance(50)) return Rule("late", kLate, Below(3 * kAttemptMs));
        Rule("again", kAgain, static_cast<unsigned>(Pick(kTargets)));
    }
    void BitError(unsigned from, unsigned span) {
        const unsigned offset = from + Below(span);
        options.bit_errors.push_back({offset, static_cast<std::uint8_t>(1u << Below(8))});
        Note(Format("bit error %05x", offset) + (offset >= Size() ? " past the image" : ""));
    }
    // A hang-up at any moment, now and then at the probe.
    void Hangup() { (Chance(10) ? At(kCmdProbe) : *this).Rule("hangup", kHangup); }
    void RefusedErase(bool blank) {  // on erased memory the block is written all the same
        options.blank = blank;
        options.refused_erase_blocks.push_back(Below(Units(Size(), kBlockSize)));
        Note(Format("refused erase %u", options.refused_erase_blocks.back()));
    }
};

using Fault = void (*)(Scenario&);

// Faults that the host's retries absorb, or that come after it has finished.
constexpr Fault kMildFaults[] = {
    [](Scenario& s) { s.Rule("drop", kDrop); },
    [](Scenario& s) { s.Rule("corrupt", kCorrupt); },
    [](Scenario& s) { s.Rule("delay", kDelay, 1 + s.Below(kAttemptMs / 2)); },
    [](Scenario& s) { s.Rule("kind", kKind, s.Chance(30) ? 0 : 5 + s.Below(251)); },  // ignored
    [](Scenario& s) { s.At(kCmdImageCheck, 2).TooMany(false); },  // after the reset order
    [](Scenario& s) { s.BitError(s.Size(), static_cast<unsigned>(sim::kMemorySize) - s.Size()); },
    [](Scenario& s) { s.RefusedErase(true); },
};

// Faults of which most end the run as a failure.
constexpr Fault kHardFaults[] = {
    [](Scenario& s) { s.Rule("drop", kDrop, {}, kAttempts); },  // an exchange left unanswered
    [](Scenario& s) { s.Rule("delay", kDelay, kAttemptMs + s.Below(3 * kAttemptMs)); },
    [](Scenario& s) { s.TooMany(true); },
    [](Scenario& s) { s.Rule("kind", kKind, 1 + s.Below(4)); },  // kinds taken as an answer
    [](Scenario& s) { s.At(kCmdReadChunk).Rule("short", kShort, s.Below(4 + kChunkSize)); },
    [](Scenario& s) { s.BitError(0, s.Size()); },
    [](Scenario& s) { s.RefusedErase(false); },
    // Wrong memory that only the host's own compares can see: the receiver's check is lost.
    [](Scenario& s) {
        s.BitError(0, s.Size());
        s.At(kCmdImageCheck, 1).Rule("drop", kDrop);
    },
    [](Scenario& s) {
        const unsigned status = s.Chance(50) ? sim::kCheckFailed : s.Below(256);
        s.At(kCmdImageCheck, 1).Rule("status", kStatus, status);
    },
    [](Scenario& s) { s.Hangup(); },
    [](Scenario& s) { s.Hangup(); },
    [](Scenario& s) {
        if (s.Chance(50)) {
            s.options.nmea_rate = 0;
            return s.Note("no NMEA");
        }
        s.options.version.major = static_cast<std::uint8_t>(s.Chance(50) ? 0 : 4 + s.Below(252));
        s.Note(Format("unsupported version %u", s.options.version.major));
    },
};

Scenario::Scenario(std::uint64_t seed, std::uint64_t run)
    : rng(seed ^ (run * 0xD1B54A32D192ED03u)) {
    options.seed = static_cast<std::uint32_t>(rng());
    options.nmea_rate = 50;  // lines a second: several within the probe wait
    options.blank = Chance(50);
    options.version = {static_cast<std::uint8_t>(1 + Below(3)), 4, 5};
    const unsigned roll = Below(100);
    if (roll >= 25) {
        intent = roll < 60 ? kMild : kHard;
        if (Chance(50)) Note(Format("noise %u", options.noise = 1 + Below(24)));
        for (unsigned n = Below(4) + (intent == kMild ? 1 : 0); n > 0; --n)
            Pick(kMildFaults)(At(Pick(kTargets)));
        if (intent == kHard) Pick(kHardFaults)(At(Pick(kTargets)));
    }
    faults = Format("version %u, ", options.version.major) +
             (options.blank ? "blank" : "old firmware") + faults;
}

// A run's outcome by the message of the step that ended it: the first of these in its log.
constexpr std::pair<const char*, const char*> kOutcomes[] = {
    {"KORVEL7 not found", "not found"},
    {"Issuing cpu reset command", "success, receiver check passed"},
    {"Update successful", "success, no answer to the receiver check"},
    {"fail to get existing firmware version", "version query failed"},
    {"NOT supported firmware version", "unsupported version"},
    {"Update verify checksum failure", "receiver check: checksum failure"},
    {"Update verify unknown failure", "receiver check: unknown status"},
    {"Update aborted", "whole-image compare failed"},
    {"<verify fail", "block read back wrong"},
    {"<recv fail>", "read chunk unanswered"},
    {"x4.0 fail\r\n", "write chunk unanswered"},
    {".fail\r\n", "write chunk unanswered"},
    // no message: the channel test found the line closed
    {"send block", "line closed between blocks"},
    {"", "erase phase: line closed"}};

struct RunResult {
    std::string row, violation, log;  // the table's row, the rule broken (none: empty), the log
    double seconds = 0;
};

RunResult Run(const sim::Options& options, microseconds bound, bool must_succeed) {
    sim::PtyServer server(options);
    std::string error;
    if (!server.Start(&error)) return {"simulator did not start", error, "", 0};
    CaptureLogSink log;
    SetLogSink(&log);
    Link link(kWaits);
    UpdateSettings settings;
    settings.probe_wait = kProbeWait;
    settings.update.check_pause = kCheckPause;
    const auto start = steady_clock::now();
    auto worker = std::async(std::launch::async, [&] {
        return UpdateWorker(link, PortFromPath(server.SlavePath()), settings);
    });
    const bool in_time = worker.wait_for(bound) == std::future_status::ready;
    if (!in_time) server.Stop();  // its hang-up ends any host that still listens
    const Failure outcome = worker.get();
    RunResult r{"", "", log.Text(), duration<double>(steady_clock::now() - start).count()};
    SetLogSink(nullptr);

    const bool success = r.log.ends_with("Update successful\r\n");
    const auto* kind = std::find_if(std::begin(kOutcomes), std::end(kOutcomes), [&](auto& o) {
        return r.log.find(o.first) != std::string::npos;
    });
    const bool hung_up = !server.Running() && outcome == Failure::kFailed;
    r.row = !in_time ? "timed out" : (hung_up ? "hang-up: " : "") + std::string(kind->second);
    // What the receiver would run is its memory as it reads, with the bit errors; what it
    // should run is the image for the version it reports.
    const auto image = ImageFor(options.version.major);
    auto memory = server.Inspect([](const sim::Receiver& receiver) { return receiver.Memory(); });
    for (const sim::BitError& e : options.bit_errors)
        memory[e.offset] ^= e.mask;
    const auto differs = std::mismatch(image.begin(), image.end(), memory.begin()).first;
    if (!in_time)
        r.violation = "ran past the bound";
    else if (success != (outcome == Failure::kNone))
        r.violation = "the outcome and the log's last line disagree";
    else if (success && image.empty())
        r.violation = "success on a version that no image is for";
    else if (success && differs != image.end())
        r.violation = Format("success, but memory differs from the image at %05x",
                             static_cast<unsigned>(differs - image.begin()));
    else if (must_succeed && !success)
        r.violation = "no fault that fails a run, yet it failed";
    return r;
}

int Soak(unsigned long long seed, unsigned long long first, unsigned long long runs, bool verbose) {
    const std::size_t size = std::max(BuiltInImages().a.size(), BuiltInImages().b.size());
    const unsigned blocks = Units(size, kBlockSize), chunks = Units(size, kChunkSize);
    // The probe, then every exchange (the version, each block's erases, each chunk's write
    // and read, a failed block's erase again) needing all its attempts, the check pause,
    // the check and the reset order, and the port's own work.
    const auto exchange = [](std::size_t n) { return kAttempts * Attempt(kWaits.attempt, n); };
    const microseconds bound = kProbeWait + Attempt(0ms, 0) + exchange(0) +
                               (blocks * kAttempts + 1) * exchange(2) +
                               chunks * (exchange(3 + kChunkSize) + exchange(3)) + kCheckPause +
                               2 * Attempt(kWaits.image_check, 7) + kPortWork;
    const double bound_s = duration<double>(bound).count();
    std::printf("korvel7-soak --seed %llu: %llu run(s) from run %llu, each within %.1f s\n", seed,
                runs, first, bound_s);

    std::map<std::string, std::array<unsigned, 3>> table;
    double total = 0, longest = 0;
    unsigned violations = 0;
    for (auto run = first; run < first + runs; ++run) {
        const Scenario scenario(seed, run);
        const RunResult result = Run(scenario.options, bound, scenario.intent != kHard);
        ++table[result.row][scenario.intent];
        total += result.seconds;
        longest = std::max(longest, result.seconds);
        violations += result.violation.empty() ? 0u : 1u;
        if (!verbose && result.violation.empty()) continue;
        std::printf("run %llu [%s] %s: %s, %.2f s\n", run, kIntentNames[scenario.intent],
                    scenario.faults.c_str(), result.row.c_str(), result.seconds);
        if (!result.violation.empty())
            std::printf("  VIOLATION: %s; repeat: --seed %llu --run %llu --verbose\n",
                        result.violation.c_str(), seed, run);
        if (verbose) std::printf("%s\n", result.log.c_str());
    }
    std::printf("%-46s %6s %6s %6s %6s\n", "outcome", "clean", "mild", "hard", "total");
    for (const auto& [row, n] : table)
        std::printf("%-46s %6u %6u %6u %6u\n", row.c_str(), n[0], n[1], n[2], n[0] + n[1] + n[2]);
    std::printf("duration: mean %.2f s, max %.2f s, bound %.1f s\n%u violation(s)\n",
                total / static_cast<double>(runs), longest, bound_s, violations);
    return violations == 0 ? 0 : 1;
}

}  // namespace
}  // namespace k7

int main(int argc, char** argv) {
    std::optional<unsigned long long> seed, first, runs;
    bool verbose = false, ok = true;
    for (int i = 1; i < argc && ok; ++i) {
        const std::string_view arg = argv[i];
        auto* number = arg == "--seed"   ? &seed
                       : arg == "--run"  ? &first
                       : arg == "--runs" ? &runs
                                         : nullptr;
        const char* text = number != nullptr && i + 1 < argc ? argv[++i] : "";
        char* end = nullptr;
        if (number != nullptr) *number = std::strtoull(text, &end, 0);
        verbose = verbose || arg == "--verbose";
        ok = arg == "--verbose" || (*text != '\0' && *text != '-' && *end == '\0');
    }
    const unsigned long long count = runs.value_or(first ? 1 : 200);
    if (!ok || count == 0 || count > 1'000'000 || first.value_or(0) >= 1'000'000) {
        std::fprintf(stderr, "usage: korvel7-soak [--seed S] [--runs N | --run K] [--verbose]\n");
        return 64;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // runs take long: show each line as it comes
    return k7::Soak(seed.value_or(std::random_device{}()), first.value_or(0), count, verbose);
}
