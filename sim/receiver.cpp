#include "sim/receiver.h"

#include <algorithm>
#include <cstdio>

#include "link/link.h"
#include "update/firmware_update.h"

namespace k7::sim {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::uint16_t kCheckSelector = 0x0000;
constexpr std::uint16_t kResetSelector = 0xABCD;
constexpr std::uint8_t kAddressPrefix[3] = {0x00, 0x19, 0x01};
constexpr std::uint8_t kAddressTrailer = 0x5C;
// Data bytes a kind-4 answer can carry after its four header bytes within LEN 255.
constexpr std::size_t kMaxReadChunk = 250;

// What a reset boots into after an image check passed: the version of the built-in image
// of that size and sum, the firmware the updater installs.
std::optional<Version> BootVersion(std::uint32_t size, std::uint16_t sum) {
    const k7::FirmwareImages& images = k7::BuiltInImages();
    for (const auto& [image, version] :
         {std::pair{images.a, images.a_version}, std::pair{images.b, images.b_version}}) {
        if (image.size() == size && k7::ImageCheckSum(image) == sum)
            return Version{version.major, version.minor, version.patch};
    }
    return std::nullopt;
}

std::size_t UnitOffset(const std::uint8_t* hi_lo) {
    return static_cast<std::size_t>((hi_lo[0] << 8) | hi_lo[1]) * 16;
}

// The same pattern every time, so that a test can tell old firmware from a new image.
std::vector<std::uint8_t> InitialMemory(bool blank) {
    std::vector<std::uint8_t> memory(kMemorySize, 0xFF);
    if (blank) return memory;
    std::uint32_t x = 0x4B375F31;
    for (std::size_t i = 0; i < kOldFirmwareSize; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        memory[i] = static_cast<std::uint8_t>(x >> 24);
    }
    return memory;
}

std::string WithNmeaChecksum(const std::string& body) {
    std::uint8_t sum = 0;
    for (char c : body)
        sum ^= static_cast<std::uint8_t>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// A reboot hangs up the USB line, and what the host has not read yet is lost with it: the
// receiver takes this long to get there, time enough for the host to read the answer.
constexpr microseconds kRebootAfterReset{100000};

std::string Milliseconds(microseconds time) {
    char text[32];
    std::snprintf(text, sizeof text, "%g ms", static_cast<double>(time.count()) / 1000);
    return text;
}

}  // namespace

Receiver::Receiver(Options options)
    : options_(std::move(options)),
      memory_(InitialMemory(options_.blank)),
      version_(options_.version),
      address_(options_.address),
      random_(options_.seed) {}

void Receiver::Feed(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        ParseByte(bytes[i]);
}

// Frames exactly as the host builds them. A frame with a wrong checksum is dropped
// without a word, leaving the host's retry to recover; a start byte where the second
// header byte belongs begins the frame anew.
void Receiver::ParseByte(std::uint8_t b) {
    if (frame_index_ == 0) {
        if (b == kFrameStart) frame_[frame_index_++] = b;
        return;
    }
    if (frame_index_ == 1 && b != kFrameSecond) {
        frame_index_ = b == kFrameStart ? 1 : 0;
        return;
    }
    if (frame_index_ == 2 && b == 0) {  // LEN 0 would leave no room for the code
        frame_index_ = 0;
        return;
    }
    frame_[frame_index_++] = b;
    if (frame_index_ < 4 || frame_index_ < frame_[2] + 4u) return;
    frame_index_ = 0;
    const std::size_t len = frame_[2];
    if (FrameSum(frame_.data(), len + 3) != frame_[len + 3]) return;
    HandleFrame(frame_[3], &frame_[4], len - 1);
}

void Receiver::HandleFrame(std::uint8_t code, const std::uint8_t* payload, std::size_t length) {
    ++counts_[code];
    last_payloads_[code].assign(payload, payload + length);
    ++total_count_;
    std::optional<Reply> reply;
    Delivery delivery;
    if (!options_.silent) {
        reply = Execute(code, payload, length);
        for (const FaultRule& rule : options_.faults) {
            if (Matches(rule, code)) ApplyFault(rule, reply, delivery);
        }
        delivery.delay += Latency(code);
    }
    if (options_.trace) Trace(code, length, reply, delivery);
    if (!AnswerWithHeldCopy(code)) Deliver(std::move(reply), delivery);
    if (restarting_)
        output_.push_back(Outgoing{{}, delivery.delay + kRebootAfterReset, false, false, true});
    restarting_ = false;
}

// Carries out one command; the answer it would give, or none. Malformed commands (wrong
// payload length, out of memory, wrong fixed bytes) are neither carried out nor answered.
std::optional<Receiver::Reply> Receiver::Execute(std::uint8_t code, const std::uint8_t* payload,
                                                 std::size_t length) {
    switch (code) {
        case kCmdVersion:
            return Reply{kRspData, {kCmdVersion, version_.major, version_.minor, version_.patch}};
        case kCmdEraseBlock:
            return Erase(payload, length);
        case kCmdWriteChunk:
            return WriteChunk(payload, length);
        case kCmdReadChunk:
            return ReadChunk(payload, length);
        case kCmdImageCheck:
            return ImageCheck(payload, length);
        case kCmdWriteAddress:
            return WriteAddress(payload, length);
        case kCmdReadAddress:
            return Reply{kRspData,
                         {kCmdReadAddress, kAddressPrefix[0], kAddressPrefix[1], kAddressPrefix[2],
                          address_[0], address_[1], address_[2]}};
        default:
            return std::nullopt;  // the probe and unknown codes draw no answer
    }
}

// Erases the whole block that holds the given offset.
std::optional<Receiver::Reply> Receiver::Erase(const std::uint8_t* payload, std::size_t length) {
    if (length != 2) return std::nullopt;
    const std::size_t block = UnitOffset(payload) / kEraseBlockSize;
    const auto& refused = options_.refused_erase_blocks;
    if (std::find(refused.begin(), refused.end(), block) != refused.end()) return std::nullopt;
    std::fill_n(memory_.data() + block * kEraseBlockSize, kEraseBlockSize, std::uint8_t{0xFF});
    return Reply{kRspNoData2, {}};
}

// Programming can only clear bits, as in real flash: writing over unerased memory leaves
// the AND of old and new.
std::optional<Receiver::Reply> Receiver::WriteChunk(const std::uint8_t* payload,
                                                    std::size_t length) {
    if (length < 3 || length != 3u + payload[2]) return std::nullopt;
    const std::size_t offset = UnitOffset(payload);
    const std::size_t count = payload[2];
    if (offset + count > kMemorySize) return std::nullopt;
    for (std::size_t i = 0; i < count; ++i)
        memory_[offset + i] &= payload[3 + i];
    return Reply{kRspNoData1, {}};
}

std::optional<Receiver::Reply> Receiver::ReadChunk(const std::uint8_t* payload,
                                                   std::size_t length) {
    if (length != 3) return std::nullopt;
    const std::size_t offset = UnitOffset(payload);
    const std::size_t count = payload[2];
    if (count > kMaxReadChunk || offset + count > kMemorySize) return std::nullopt;
    Reply reply{kRspReadBack, {payload[0], payload[1], payload[2], 0}};
    for (std::size_t i = 0; i < count; ++i)
        reply.payload.push_back(ReadMemory(offset + i));
    return reply;
}

// Selector 00 00: sums memory [0, size) and compares with the host's sum. Selector AB CD:
// acknowledges, then reboots into the image of the last check if that check passed.
std::optional<Receiver::Reply> Receiver::ImageCheck(const std::uint8_t* payload,
                                                    std::size_t length) {
    if (length != 7) return std::nullopt;
    const unsigned selector = (payload[0] << 8) | payload[1];
    if (selector == kResetSelector) {
        if (boot_version_) version_ = *boot_version_;
        restarting_ = boot_version_.has_value();
        boot_version_.reset();
        return Reply{kRspNoData1, {}};
    }
    if (selector != kCheckSelector) return std::nullopt;

    const std::uint32_t size =
        static_cast<std::uint32_t>((payload[2] << 16) | (payload[3] << 8) | payload[4]);
    const unsigned host_sum = (payload[5] << 8) | payload[6];
    // The receiver's own sum over its memory as read (bit errors included), not the
    // updater's ImageCheckSum: a fault in the updater's sum must fail this check.
    unsigned sum = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(size, kMemorySize); ++i)
        sum += ReadMemory(i);
    sum &= 0xFFFF;
    const bool passed = size <= kMemorySize && sum == host_sum;
    boot_version_ = passed ? BootVersion(size, static_cast<std::uint16_t>(sum)) : std::nullopt;
    return Reply{kRspData,
                 {kCmdImageCheck, passed ? kCheckPassed : kCheckFailed,
                  static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)}};
}

std::optional<Receiver::Reply> Receiver::WriteAddress(const std::uint8_t* payload,
                                                      std::size_t length) {
    if (length != 7 || !std::equal(payload, payload + 3, kAddressPrefix) ||
        payload[6] != kAddressTrailer)
        return std::nullopt;
    address_ = {payload[3], payload[4], payload[5]};
    return Reply{kRspData, {kCmdWriteAddress, 0, 0, 0}};
}

std::uint8_t Receiver::ReadMemory(std::size_t offset) const {
    std::uint8_t value = memory_[offset];
    for (const BitError& error : options_.bit_errors) {
        if (error.offset == offset) value ^= error.mask;
    }
    return value;
}

bool Receiver::Matches(const FaultRule& rule, std::uint8_t code) const {
    if (rule.command != kAnyCommand && rule.command != code) return false;
    const unsigned count = rule.command == kAnyCommand ? total_count_ : counts_[code];
    return rule.nth == kEveryOccurrence || rule.nth == count;
}

void Receiver::ApplyFault(const FaultRule& rule, std::optional<Reply>& reply, Delivery& delivery) {
    const milliseconds time(rule.arg);
    switch (rule.action) {
        case FaultAction::kDrop:
            delivery.drop = true;
            break;
        case FaultAction::kDelay:
            delivery.delay += time;
            break;
        case FaultAction::kCorrupt:
            delivery.corrupt = true;
            break;
        case FaultAction::kDup:
            delivery.extra.push_back(microseconds(0));
            break;
        case FaultAction::kLate:
            delivery.extra.push_back(time);
            break;
        case FaultAction::kAgain:
            delivery.again_for = static_cast<std::uint8_t>(rule.arg);
            break;
        case FaultAction::kHangup:
            delivery.hangup = true;
            break;
        default:
            if (reply) ChangeReply(rule, *reply);
            break;
    }
}

// A change that does not fit the answer (a status for an acknowledgement, a byte beyond
// its end) leaves it as it is.
void Receiver::ChangeReply(const FaultRule& rule, Reply& reply) {
    const auto arg = rule.arg;
    auto& payload = reply.payload;
    const bool data = reply.kind == kRspData;
    const bool read_back = reply.kind == kRspReadBack;
    switch (rule.action) {
        case FaultAction::kKind:
            reply.kind = static_cast<std::uint8_t>(arg);
            break;
        case FaultAction::kStatus:
            if (data && payload.size() > 1) payload[1] = static_cast<std::uint8_t>(arg);
            break;
        case FaultAction::kEcho:
            if (data && !payload.empty()) payload[0] = static_cast<std::uint8_t>(arg);
            break;
        case FaultAction::kShort:
            if ((data || read_back) && payload.size() > arg) payload.resize(arg);
            break;
        case FaultAction::kDiffer:
            if (data && payload.size() > arg) payload[arg] ^= 0x01;
            break;
        case FaultAction::kFlip:
            if (read_back && payload.size() > 4u + arg)
                payload[4 + arg] ^= static_cast<std::uint8_t>(rule.arg2);
            break;
        default:
            break;
    }
}

void Receiver::Deliver(std::optional<Reply> reply, const Delivery& delivery) {
    if (delivery.hangup) {
        output_.push_back(Outgoing{{}, delivery.delay, true});
        return;
    }
    if (!reply || delivery.drop) return;
    std::vector<std::uint8_t> frame(reply->payload.size() + kFrameOverhead);
    BuildFrame(reply->kind, reply->payload.data(), reply->payload.size(), frame.data());
    if (delivery.corrupt) ++frame.back();
    Emit(frame, delivery.delay);
    for (microseconds extra : delivery.extra)
        Emit(frame, delivery.delay + extra);
    if (delivery.again_for) held_.push_back({*delivery.again_for, frame});
}

// One answer per command, so the host's exchanges stay in step: the held copy takes the
// place of the answer the command would have had.
bool Receiver::AnswerWithHeldCopy(std::uint8_t code) {
    auto held = std::find_if(held_.begin(), held_.end(),
                             [code](const HeldCopy& copy) { return copy.for_command == code; });
    if (held == held_.end()) return false;
    Emit(held->frame, Latency(code));
    held_.erase(held);
    return true;
}

// Noise goes in the same piece as the frame after it, so it always lands between frames
// and lines, never inside one.
microseconds Receiver::Latency(std::uint8_t code) const {
    const Latencies& latency = options_.latency;
    switch (code) {
        case kCmdEraseBlock:
            return latency.response + latency.erase;
        case kCmdWriteChunk:
            return latency.response + latency.write;
        case kCmdReadChunk:
            return latency.response + latency.read;
        default:
            return latency.response;
    }
}

void Receiver::Emit(const std::vector<std::uint8_t>& frame, microseconds delay) {
    Outgoing out;
    out.delay = delay;
    std::uniform_int_distribution<unsigned> byte(0, 255);
    while (out.bytes.size() < options_.noise) {
        const auto b = static_cast<std::uint8_t>(byte(random_));
        if (b != kFrameStart && b != '$') out.bytes.push_back(b);
    }
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    output_.push_back(std::move(out));
}

void Receiver::Trace(std::uint8_t code, std::size_t length, const std::optional<Reply>& reply,
                     const Delivery& delivery) const {
    std::string line = "command " + std::to_string(code) + " #" + std::to_string(counts_[code]) +
                       ", " + std::to_string(length) + " payload bytes: ";
    if (delivery.hangup) {
        line += "hang-up";
    } else if (!reply) {
        line += "no answer";
    } else if (delivery.drop) {
        line += "answer dropped";
    } else {
        line += "kind " + std::to_string(reply->kind) + ", " +
                std::to_string(reply->payload.size()) + " payload bytes";
        if (delivery.delay.count() > 0) line += ", after " + Milliseconds(delivery.delay);
        if (delivery.corrupt) line += ", bad checksum";
        for (microseconds extra : delivery.extra)
            line += ", again " + Milliseconds(extra) + " later";
    }
    options_.trace(line);
}

void Receiver::Tick(milliseconds now) {
    if (now < NextTick()) return;
    const std::string line = NmeaLine(now);
    output_.push_back(Outgoing{{line.begin(), line.end()}, microseconds(0), false, true});
    const milliseconds interval(std::max(1u, 1000u / options_.nmea_rate));
    next_line_ += interval;
    if (next_line_ <= now) next_line_ = now + interval;
}

milliseconds Receiver::NextTick() const {
    if (options_.silent || options_.nmea_rate == 0) return milliseconds::max();
    return next_line_;
}

std::vector<Outgoing> Receiver::TakeOutput() {
    std::vector<Outgoing> taken;
    taken.swap(output_);
    return taken;
}

// A fix and a position record in turn, with the time of day running from 12:00:00 and
// the position wandering a few metres.
std::string Receiver::NmeaLine(milliseconds now) {
    const auto centis = static_cast<unsigned long long>(now.count()) / 10;
    const auto seconds = static_cast<unsigned>((12 * 3600 + centis / 100) % 86400);
    const auto fraction = static_cast<unsigned>(centis % 100);
    std::uniform_int_distribution<unsigned> wander(0, 99);
    const unsigned lat = 70380 + wander(random_);  // minutes * 10^4
    const unsigned lon = 310000 + wander(random_);
    char time[16];
    std::snprintf(time, sizeof time, "%02u%02u%02u.%02u", seconds / 3600, seconds / 60 % 60,
                  seconds % 60, fraction);
    char body[120];
    if (lines_sent_++ % 2 == 0) {
        std::snprintf(body, sizeof body,
                      "GPGGA,%s,48%02u.%04u,N,011%02u.%04u,E,1,08,0.9,545.4,M,46.9,M,,", time,
                      lat / 10000, lat % 10000, lon / 10000, lon % 10000);
    } else {
        std::snprintf(body, sizeof body,
                      "GPRMC,%s,A,48%02u.%04u,N,011%02u.%04u,E,0.0,0.0,071224,,,A", time,
                      lat / 10000, lat % 10000, lon / 10000, lon % 10000);
    }
    return WithNmeaChecksum(body);
}

}  // namespace k7::sim
