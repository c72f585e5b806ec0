// The virtual KORVEL7: program memory, firmware version, device address and an NMEA
// stream, driven by the bytes a host sends. Pure model: no I/O, no threads, no clock of
// its own. Whoever drives it feeds received bytes, ticks it with the time and sends what
// it hands out.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "link/frame.h"

namespace k7::sim {

inline constexpr std::size_t kMemorySize = std::size_t{1} << 20;  // 16-bit offsets in 16-byte units
inline constexpr std::size_t kEraseBlockSize = 4096;
// How much of the memory the "old firmware" fills; the rest is erased.
inline constexpr std::size_t kOldFirmwareSize = 128 * 1024;

// Image-check status bytes.
inline constexpr std::uint8_t kCheckPassed = 0x11;
inline constexpr std::uint8_t kCheckFailed = 0xEE;

struct Version {
    std::uint8_t major = 2;
    std::uint8_t minor = 4;
    std::uint8_t patch = 5;
    friend bool operator==(const Version&, const Version&) = default;
};

using AddressBytes = std::array<std::uint8_t, 3>;  // the lower three address bytes

enum class FaultAction {
    kDrop,     // no answer (the command is still carried out)
    kDelay,    // answer after arg ms
    kCorrupt,  // answer with a wrong checksum
    kKind,     // answer with kind arg instead
    kDup,      // answer twice
    kLate,     // answer, and the same answer again arg ms later
    kAgain,    // answer, and the same answer again in place of the answer to the next
               // frame of command arg: data that arrive outside their own exchange
    kStatus,   // kind-3 answer: byte 1 (the image check's status) becomes arg
    kEcho,     // kind-3 answer: byte 0 (the echoed command code) becomes arg
    kShort,    // kind-3/kind-4 answer: payload cut to arg bytes
    kDiffer,   // kind-3 answer: lowest bit of payload byte arg flipped (4..6: address for 200)
    kFlip,     // kind-4 answer: read data byte arg (chunk-relative) XOR arg2
    kHangup,   // close the line instead of answering
};

inline constexpr int kAnyCommand = -1;
inline constexpr unsigned kEveryOccurrence = 0;

// Applies to the nth valid frame (from 1) of `command`, counting frames of that code, or
// of any code for kAnyCommand; kEveryOccurrence matches them all.
struct FaultRule {
    FaultAction action = FaultAction::kDrop;
    int command = kAnyCommand;
    unsigned nth = kEveryOccurrence;
    std::uint32_t arg = 0;
    std::uint32_t arg2 = 0;
};

// A memory byte that reads back wrong, both for the host and the receiver's own check.
struct BitError {
    std::uint32_t offset = 0;
    std::uint8_t mask = 0;
};

// How long the receiver works on a command before its answer starts: `response` for every
// answer, and the memory operation's own time on top for erases, writes and reads.
struct Latencies {
    std::chrono::microseconds erase{0};
    std::chrono::microseconds write{0};
    std::chrono::microseconds read{0};
    std::chrono::microseconds response{0};
};

struct Options {
    Version version{};
    AddressBytes address{0x12, 0x34, 0x56};
    bool blank = false;      // memory starts erased instead of holding old firmware
    unsigned nmea_rate = 2;  // NMEA lines per second; 0 for none
    bool silent = false;     // answers nothing, sends no NMEA
    unsigned noise = 0;      // random bytes (never 0x88 or '$') sent before each answer
    std::vector<BitError> bit_errors;
    std::vector<unsigned> refused_erase_blocks;  // block numbers (offset / 4096)
    std::vector<FaultRule> faults;
    std::uint32_t seed = 1;  // for the noise and the NMEA positions
    Latencies latency{};
    // The serial line's rate in bits per second, 8N1: whoever carries the bytes takes ten
    // bit times for each, both ways. 0 delivers them at once.
    std::uint32_t baud = 0;
    // Called with one line per command received, for a verbose log; may be empty.
    std::function<void(const std::string&)> trace;
};

// One piece of output, sent whole: a frame (with any noise before it) or an NMEA line.
struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::chrono::microseconds delay{0};  // from the moment the command was received
    bool hangup = false;                 // instead of bytes: close the line
    bool nmea = false;                   // an NMEA line, which may be dropped
    bool restart = false;  // instead of bytes: the receiver reboots into its new firmware
};

class Receiver {
public:
    explicit Receiver(Options options = {});

    void Feed(const std::uint8_t* bytes, std::size_t count);
    // Produces the NMEA lines due at `now` (any steady time base, the same on every call).
    void Tick(std::chrono::milliseconds now);
    // When Tick next has a line to produce; milliseconds::max() when never.
    std::chrono::milliseconds NextTick() const;
    // Hands out everything produced since the last call, in order.
    std::vector<Outgoing> TakeOutput();

    const std::vector<std::uint8_t>& Memory() const { return memory_; }
    Version CurrentVersion() const { return version_; }
    AddressBytes Address() const { return address_; }
    unsigned CommandCount(std::uint8_t code) const { return counts_[code]; }
    // The payload of the last valid frame of that command; empty before the first.
    const std::vector<std::uint8_t>& LastPayload(std::uint8_t code) const {
        return last_payloads_[code];
    }

private:
    struct Reply {
        std::uint8_t kind = 0;
        std::vector<std::uint8_t> payload;
    };
    struct Delivery {
        std::chrono::microseconds delay{0};
        std::vector<std::chrono::microseconds> extra;  // further copies, after delay
        bool drop = false;
        bool corrupt = false;
        bool hangup = false;
        std::optional<std::uint8_t> again_for;  // a copy answers the next frame of this code
    };
    struct HeldCopy {
        std::uint8_t for_command;
        std::vector<std::uint8_t> frame;
    };

    void ParseByte(std::uint8_t b);
    void HandleFrame(std::uint8_t code, const std::uint8_t* payload, std::size_t length);
    std::optional<Reply> Execute(std::uint8_t code, const std::uint8_t* payload,
                                 std::size_t length);
    std::optional<Reply> Erase(const std::uint8_t* payload, std::size_t length);
    std::optional<Reply> WriteChunk(const std::uint8_t* payload, std::size_t length);
    std::optional<Reply> ReadChunk(const std::uint8_t* payload, std::size_t length);
    std::optional<Reply> ImageCheck(const std::uint8_t* payload, std::size_t length);
    std::optional<Reply> WriteAddress(const std::uint8_t* payload, std::size_t length);
    std::uint8_t ReadMemory(std::size_t offset) const;
    bool Matches(const FaultRule& rule, std::uint8_t code) const;
    static void ApplyFault(const FaultRule& rule, std::optional<Reply>& reply, Delivery& delivery);
    static void ChangeReply(const FaultRule& rule, Reply& reply);
    void Deliver(std::optional<Reply> reply, const Delivery& delivery);
    bool AnswerWithHeldCopy(std::uint8_t code);
    std::chrono::microseconds Latency(std::uint8_t code) const;
    void Emit(const std::vector<std::uint8_t>& frame, std::chrono::microseconds delay);
    void Trace(std::uint8_t code, std::size_t length, const std::optional<Reply>& reply,
               const Delivery& delivery) const;
    std::string NmeaLine(std::chrono::milliseconds now);

    Options options_;
    std::vector<std::uint8_t> memory_;
    Version version_;
    AddressBytes address_;
    std::array<unsigned, 256> counts_{};
    std::array<std::vector<std::uint8_t>, 256> last_payloads_;
    unsigned total_count_ = 0;
    // What the reset boots into after the last image check, when that passed for an image
    // this receiver knows.
    std::optional<Version> boot_version_;
    bool restarting_ = false;  // the reset order just taken boots a new image

    std::array<std::uint8_t, kMaxFrameSize> frame_{};
    std::size_t frame_index_ = 0;

    std::chrono::milliseconds next_line_{0};
    unsigned lines_sent_ = 0;
    std::mt19937 random_;
    std::vector<Outgoing> output_;
    std::vector<HeldCopy> held_;
};

}  // namespace k7::sim
