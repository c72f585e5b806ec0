// korvel7-soak: whole updates against the virtual receiver under random faults. Each run
// draws its faults from a generator seeded with the soak's seed and the run's index, so
// any run can be repeated alone with --seed S --run K. Every run must end within the
// bound that the waits allow, and "Update successful" must appear only when the
// receiver's memory holds the image the host chose.
//
// No drawn fault can change memory behind the host's back: faults act on answers only,
// every frame the host sends is carried out when it arrives, the host sends no erase or
// write for a block after reading it back (bar the erase of a failed block), and a bit
// error shows in every read of its byte. So a success with wrong memory is always the
// host's fault. Successes without the receiver's own check are counted apart all the
// same: there the host's read-back is the only witness.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/link.h"
#include "log/log.h"
#include "sim/pty_server.h"
#include "tests/expected_log.h"
#include "update/update_worker.h"

namespace k7 {
namespace {

using namespace std::chrono_literals;
using sim::FaultAction;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using test::Format;

constexpr unsigned kAttempts = 5;  // per ordinary exchange, and erase tries per block
constexpr LinkWaits kWaits{20ms, 200ms};
constexpr milliseconds kProbeWait = 100ms;
constexpr milliseconds kCheckPause = 10ms;
constexpr unsigned kNmeaRate = 50;  // lines a second: several within the probe wait
// Opening and closing the port, with the start and end of its receiving thread.
constexpr milliseconds kPortWork = 1000ms;
constexpr auto kAttemptMs = static_cast<unsigned>(kWaits.attempt.count());

// splitmix64: small, and the same numbers with every compiler and library.
class Rng {
public:
    Rng(std::uint64_t seed, std::uint64_t run) : state_(seed ^ (run * 0xD1B54A32D192ED03u)) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }

private:
    std::uint64_t state_;
};

std::span<const std::uint8_t> ImageFor(unsigned major) {
    if (major == 1 || major == 2) return BuiltInImages().a;
    if (major == 3) return BuiltInImages().b;
    return {};
}

unsigned Blocks(std::size_t size) {
    return static_cast<unsigned>((size + test::kBlock - 1) / test::kBlock);
}

unsigned Chunks(std::size_t size) {
    return static_cast<unsigned>((size + test::kChunk - 1) / test::kChunk);
}

// An attempt at most: its wait, then its frame's time at 115200 baud, 10 bits a byte,
// which on a pseudo-terminal is room for the host's own work.
microseconds Attempt(milliseconds wait, std::size_t payload) {
    return wait + microseconds((payload + kFrameOverhead) * 10 * 1'000'000 / kBaudRate);
}

microseconds Exchange(std::size_t payload) {
    return kAttempts * Attempt(kWaits.attempt, payload);
}

// Every exchange needing all its attempts: the version query, five tries at each block's
// erase, a write and a read-back per chunk, the erase of a failed block; the probe before
// them, and the check pause, check and reset order (one attempt each) after.
microseconds RunBound(std::size_t image_size) {
    return kProbeWait + Attempt(0ms, 0) + Exchange(0) +
           Blocks(image_size) * kAttempts * Exchange(2) +
           Chunks(image_size) * (Exchange(3 + test::kChunk) + Exchange(3)) + Exchange(2) +
           kCheckPause + 2 * Attempt(kWaits.image_check, 7) + kPortWork;
}

enum Intent { kClean, kMild, kHard };  // mild: faults that the retries absorb
constexpr const char* kIntentNames[] = {"clean", "mild", "hard"};

struct Scenario {
    Intent intent = kClean;
    sim::Options options;
    std::string faults;  // what was drawn, for the report
};

class Drawing {
public:
    Drawing(std::uint64_t seed, unsigned run) : rng_(seed, run) {}
    Scenario Draw();

private:
    void Mild();
    void Hard();
    void Target(int command);
    int AnyCommand();
    void Rule(const char* name, FaultAction action, std::optional<std::uint32_t> arg = {});
    void Note(const std::string& text) { s_.faults += ", " + text; }
    std::size_t ImageSize() const { return ImageFor(s_.options.version.major).size(); }

    Rng rng_;
    Scenario s_;
    int command_ = 0;  // the frame that the next rule applies to
    unsigned nth_ = 0;
};

Scenario Drawing::Draw() {
    auto& o = s_.options;
    o.seed = static_cast<std::uint32_t>(rng_.Next());
    o.nmea_rate = kNmeaRate;
    o.blank = rng_.Chance(50);
    o.version = {static_cast<std::uint8_t>(1 + rng_.Below(3)), 4, 5};
    const unsigned roll = rng_.Below(100);
    if (roll >= 25) {
        s_.intent = roll < 60 ? kMild : kHard;
        if (rng_.Chance(50)) {
            o.noise = 1 + rng_.Below(24);
            Note(Format("noise %u", o.noise));
        }
        for (unsigned n = rng_.Below(4) + (s_.intent == kMild ? 1 : 0); n > 0; --n)
            Mild();
        if (s_.intent == kHard) Hard();
    }
    s_.faults =
        Format("version %u, ", o.version.major) + (o.blank ? "blank" : "old firmware") + s_.faults;
    return s_;
}

// Faults that the host's retries absorb, or that come after it has finished.
void Drawing::Mild() {
    Target(AnyCommand());
    auto& o = s_.options;
    switch (rng_.Below(7)) {
        case 0:
            return Rule("drop", FaultAction::kDrop);
        case 1:
            return Rule("corrupt", FaultAction::kCorrupt);
        case 2:
            return Rule("delay", FaultAction::kDelay, 1 + rng_.Below(kAttemptMs / 2));
        case 3:  // kind 0 and kinds from 5 up are no answer to the host
            return Rule("kind", FaultAction::kKind, rng_.Chance(30) ? 0 : 5 + rng_.Below(251));
        case 4:  // the reset order is the last exchange
            Target(kCmdImageCheck);
            nth_ = 2;
            if (rng_.Chance(50)) return Rule("dup", FaultAction::kDup);
            return Rule("late", FaultAction::kLate, rng_.Below(3 * kAttemptMs));
        case 5: {
            const auto size = static_cast<unsigned>(ImageSize());
            const unsigned offset =
                size + rng_.Below(static_cast<unsigned>(sim::kMemorySize) - size);
            o.bit_errors.push_back({offset, static_cast<std::uint8_t>(1u << rng_.Below(8))});
            return Note(Format("bit error %05x past the image", offset));
        }
        default: {  // on erased memory the block is written all the same
            o.blank = true;
            const unsigned block = rng_.Below(Blocks(ImageSize()));
            o.refused_erase_blocks.push_back(block);
            return Note(Format("refused erase %u", block));
        }
    }
}

// Faults of which most end the run as a failure.
void Drawing::Hard() {
    Target(AnyCommand());
    auto& o = s_.options;
    switch (rng_.Below(11)) {
        case 0:  // an exchange that never gets its answer
            for (unsigned i = 0; i < kAttempts; ++i, ++nth_)
                Rule("drop", FaultAction::kDrop);
            return;
        case 1:
            return Rule("delay", FaultAction::kDelay, kAttemptMs + rng_.Below(3 * kAttemptMs));
        case 2:  // an answer too many
            if (rng_.Chance(40)) return Rule("dup", FaultAction::kDup);
            if (rng_.Chance(50))
                return Rule("late", FaultAction::kLate, rng_.Below(3 * kAttemptMs));
            return Rule("again", FaultAction::kAgain, static_cast<std::uint32_t>(AnyCommand()));
        case 3:  // kinds that the host takes as an answer
            return Rule("kind", FaultAction::kKind, 1 + rng_.Below(4));
        case 4:
            Target(kCmdReadChunk);
            return Rule("short", FaultAction::kShort, rng_.Below(4 + test::kChunk));
        case 5: {
            const unsigned offset = rng_.Below(static_cast<unsigned>(ImageSize()));
            o.bit_errors.push_back({offset, static_cast<std::uint8_t>(1u << rng_.Below(8))});
            return Note(Format("bit error %05x", offset));
        }
        case 6: {
            o.blank = false;
            const unsigned block = rng_.Below(Blocks(ImageSize()));
            o.refused_erase_blocks.push_back(block);
            return Note(Format("refused erase %u", block));
        }
        case 7:
            Target(kCmdImageCheck);
            nth_ = 1;
            return Rule("status", FaultAction::kStatus,
                        rng_.Chance(50) ? sim::kCheckFailed : rng_.Below(256));
        case 8:
        case 9:  // a hang-up at any moment, now and then at the probe
            if (rng_.Chance(10)) Target(kCmdProbe);
            return Rule("hangup", FaultAction::kHangup);
        default:
            if (rng_.Chance(50)) {
                o.nmea_rate = 0;
                return Note("no NMEA");
            }
            o.version.major = rng_.Chance(50) ? 0 : static_cast<std::uint8_t>(4 + rng_.Below(252));
            return Note(Format("unsupported version %u", o.version.major));
    }
}

// Writes and reads weigh most, as there are most of them.
int Drawing::AnyCommand() {
    static constexpr int kCommands[] = {
        kCmdWriteChunk, kCmdWriteChunk, kCmdWriteChunk, kCmdReadChunk, kCmdReadChunk,
        kCmdReadChunk,  kCmdEraseBlock, kCmdEraseBlock, kCmdVersion,   kCmdImageCheck};
    return kCommands[rng_.Below(std::size(kCommands))];
}

// One of the frames of `command` that a run without faults sends.
void Drawing::Target(int command) {
    const std::size_t size = ImageSize();
    unsigned count = 1;
    if (command == kCmdEraseBlock) count = Blocks(size);
    if (command == kCmdWriteChunk || command == kCmdReadChunk) count = Chunks(size);
    if (command == kCmdImageCheck) count = 2;  // the check and the reset order
    command_ = command;
    nth_ = 1 + rng_.Below(std::max(count, 1u));
}

void Drawing::Rule(const char* name, FaultAction action, std::optional<std::uint32_t> arg) {
    s_.options.faults.push_back({action, command_, nth_, arg.value_or(0), 0});
    Note(std::string(name) + " " + std::to_string(command_) + "#" + std::to_string(nth_) +
         (arg ? ":" + std::to_string(*arg) : ""));
}

// The failure that ended a run, by the message of the step that found it.
std::string FailureKind(const std::string& log) {
    static const std::pair<const char*, const char*> kMarkers[] = {
        {"fail to get existing firmware version", "version query failed"},
        {"NOT supported firmware version", "unsupported version"},
        {"Update verify checksum failure", "receiver check: checksum failure"},
        {"Update verify unknown failure", "receiver check: unknown status"},
        {"Update aborted", "whole-image compare failed"},
        {"<verify fail", "block read back wrong"},
        {"<recv fail>", "read chunk unanswered"},
        {"x4.0 fail\r\n", "write chunk unanswered"},
        {".fail\r\n", "write chunk unanswered"},
    };
    for (const auto& [marker, kind] : kMarkers) {
        if (log.find(marker) != std::string::npos) return kind;
    }
    // Otherwise a closed line ended it, found by the channel test.
    if (log.find("send block") == std::string::npos) return "erase phase: line closed";
    return "line closed between blocks";
}

// The image whose version line the host logged; empty when it logged none.
std::span<const std::uint8_t> ChosenImage(const std::string& log) {
    static constexpr char kVersionLine[] = "Existing FW version: ";
    const auto at = log.find(kVersionLine);
    if (at == std::string::npos) return {};
    return ImageFor(static_cast<unsigned>(std::atoi(log.c_str() + at + sizeof kVersionLine - 1)));
}

// Where what the receiver would run, its memory with the bit errors in it, first differs
// from the image; none when it holds the image.
std::optional<std::size_t> FirstDifference(const sim::PtyServer& server,
                                           const sim::Options& options,
                                           std::span<const std::uint8_t> image) {
    auto memory = server.Inspect([&](const sim::Receiver& r) {
        return std::vector<std::uint8_t>(r.Memory().begin(),
                                         r.Memory().begin() + static_cast<long>(image.size()));
    });
    for (const sim::BitError& error : options.bit_errors) {
        if (error.offset < memory.size()) memory[error.offset] ^= error.mask;
    }
    const auto diff = std::mismatch(image.begin(), image.end(), memory.begin());
    if (diff.first == image.end()) return std::nullopt;
    return static_cast<std::size_t>(diff.first - image.begin());
}

struct RunResult {
    std::string row;  // the outcome, as the table counts it
    double seconds = 0;
    std::string violation;  // empty when the run kept both rules
    std::string log;
};

RunResult Run(const Scenario& scenario, microseconds bound) {
    CaptureLogSink log;
    SetLogSink(&log);
    sim::PtyServer server(scenario.options);
    std::string error;
    if (!server.Start(&error)) {
        SetLogSink(nullptr);
        return {"simulator did not start", 0, error, ""};
    }
    Link link(kWaits);
    UpdateSettings settings;
    settings.probe_wait = kProbeWait;
    settings.update.check_pause = kCheckPause;
    const auto start = std::chrono::steady_clock::now();
    auto worker = std::async(std::launch::async, [&] {
        return UpdateWorker(link, PortFromPath(server.SlavePath()), settings);
    });
    const bool in_time = worker.wait_for(bound) == std::future_status::ready;
    const bool hung_up = in_time && !server.Running();
    if (!in_time) server.Stop();  // its hang-up ends any host that still listens
    const UpdateOutcome outcome = worker.get();
    RunResult result;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    SetLogSink(nullptr);
    result.log = log.Text();

    static constexpr char kSuccess[] = "Update successful\r\n";
    const std::string& text = result.log;
    const bool success = text.ends_with(kSuccess);
    if (!in_time) {
        result.row = "timed out";
    } else if (outcome == UpdateOutcome::kNotFound) {
        result.row = "not found";
    } else if (success) {
        result.row = text.find("returned cs=") != std::string::npos
                         ? "success, receiver check passed"
                         : "success, no answer to the receiver check";
    } else {
        result.row = (hung_up ? "hang-up: " : "") + FailureKind(text);
    }

    const auto image = ChosenImage(text);
    const auto difference =
        success && !image.empty() ? FirstDifference(server, scenario.options, image) : std::nullopt;
    if (!in_time)
        result.violation = "ran past the bound";
    else if (success != (outcome == UpdateOutcome::kSucceeded))
        result.violation = "the outcome and the log's last line disagree";
    else if (success && image.empty())
        result.violation = "success without a firmware version";
    else if (difference)
        result.violation = Format("success, but memory differs from the image at %05x",
                                  static_cast<unsigned>(*difference));
    return result;
}

class Table {
public:
    void Add(const std::string& row, Intent intent) { ++rows_[row][intent]; }
    void Print() const {
        std::printf("%-46s %6s %6s %6s %6s\n", "outcome", "clean", "mild", "hard", "total");
        for (const auto& [row, counts] : rows_) {
            std::printf("%-46s %6u %6u %6u %6u\n", row.c_str(), counts[kClean], counts[kMild],
                        counts[kHard], counts[kClean] + counts[kMild] + counts[kHard]);
        }
    }

private:
    std::map<std::string, std::array<unsigned, 3>> rows_;
};

struct Arguments {
    std::uint64_t seed = 0;
    unsigned first = 0;
    unsigned runs = 200;
    bool verbose = false;
};

bool ParseNumber(const char* text, std::uint64_t* value) {
    char* end = nullptr;
    *value = std::strtoull(text, &end, 0);
    return *text != '\0' && *text != '-' && *end == '\0';
}

bool ParseArguments(int argc, char** argv, Arguments* args) {
    args->seed = (std::uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::uint64_t value = 0;
        if (arg == "--verbose") {
            args->verbose = true;
            continue;
        }
        if (i + 1 == argc || !ParseNumber(argv[++i], &value)) return false;
        if (arg == "--seed") {
            args->seed = value;
        } else if (arg == "--runs" && value > 0 && value <= 1'000'000) {
            args->runs = static_cast<unsigned>(value);
        } else if (arg == "--run" && value < 1'000'000) {
            args->first = static_cast<unsigned>(value);
            args->runs = 1;
        } else {
            return false;
        }
    }
    return true;
}

int Soak(const Arguments& args) {
    const std::size_t largest = std::max(BuiltInImages().a.size(), BuiltInImages().b.size());
    const microseconds bound = RunBound(largest);
    std::printf("korvel7-soak --seed %llu: %u run(s) from run %u\n",
                static_cast<unsigned long long>(args.seed), args.runs, args.first);
    std::printf(
        "bound per run %.1f s: probe %lld ms; %u exchanges (version, %u erase tries a block, "
        "a write and a read per chunk, a failed block's erase) of %u attempts, each %lld ms "
        "and its frame at 115200 baud; check pause %lld ms; check and reset %lld ms each; "
        "%lld ms for the port\n",
        std::chrono::duration<double>(bound).count(), static_cast<long long>(kProbeWait.count()),
        1 + kAttempts * Blocks(largest) + 2 * Chunks(largest) + 1, kAttempts, kAttempts,
        static_cast<long long>(kWaits.attempt.count()), static_cast<long long>(kCheckPause.count()),
        static_cast<long long>(kWaits.image_check.count()),
        static_cast<long long>(kPortWork.count()));
    std::fflush(stdout);

    Table table;
    double total = 0;
    double longest = 0;
    unsigned violations = 0;
    for (unsigned run = args.first; run < args.first + args.runs; ++run) {
        const Scenario scenario = Drawing(args.seed, run).Draw();
        const RunResult result = Run(scenario, bound);
        table.Add(result.row, scenario.intent);
        total += result.seconds;
        longest = std::max(longest, result.seconds);
        const bool violated = !result.violation.empty();
        violations += violated ? 1 : 0;
        if (args.verbose || violated) {
            std::printf("run %u [%s] %s: %s, %.2f s%s%s\n", run, kIntentNames[scenario.intent],
                        scenario.faults.c_str(), result.row.c_str(), result.seconds,
                        violated ? "\n  VIOLATION: " : "", result.violation.c_str());
            if (violated)
                std::printf("  repeat: korvel7-soak --seed %llu --run %u --verbose\n",
                            static_cast<unsigned long long>(args.seed), run);
            if (args.verbose) std::printf("%s\n", result.log.c_str());
            std::fflush(stdout);
        }
    }
    table.Print();
    std::printf("duration: mean %.2f s, max %.2f s, bound %.1f s\n", total / args.runs, longest,
                std::chrono::duration<double>(bound).count());
    std::printf("%u violation(s)\n", violations);
    return violations == 0 ? 0 : 1;
}

}  // namespace
}  // namespace k7

int main(int argc, char** argv) {
    k7::Arguments args;
    if (!k7::ParseArguments(argc, argv, &args)) {
        std::fprintf(stderr, "usage: korvel7-soak [--seed S] [--runs N | --run K] [--verbose]\n");
        return 64;
    }
    return k7::Soak(args);
}
