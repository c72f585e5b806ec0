// Feeds arbitrary bytes through Link::OnReceive, with the read-back target inside a buffer
// of exactly the size the update reads image A into, so that AddressSanitizer stops any
// copy past its end. After every OnReceive call the link's records are compared with the
// reference receiver fed the same bytes.
//
// Input: four set-up bytes, then the bytes as they come off the wire.
//   [0]        how the wire bytes are cut into OnReceive calls: 0 = one call, n = pieces
//              of 1 to n bytes
//   [1] & 3    where the read-back target sits: 0 none, 1 the image's last chunk, 2 the
//              last place a whole kind-4 copy fits, 3 the offset made of bit 7 of [1] and
//              bytes [2] [3], capped at that last place
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz/reference_receiver.h"
#include "link/link.h"
#include "log/log.h"

namespace k7::fuzz {
namespace {

// The update reads the image back chunk by chunk into a buffer one block larger than the
// image.
constexpr std::size_t kImageSize = 100080;
constexpr std::size_t kBufferSize = kImageSize + 4096;
constexpr std::size_t kChunkSize = 128;
constexpr std::size_t kLastChunk = (kImageSize - 1) / kChunkSize * kChunkSize;
constexpr std::size_t kLastWholeCopy = kBufferSize - kMaxReadBackCopy;
constexpr std::size_t kSetupBytes = 4;

// Counts the message the link logs for each reply to the image check.
class ImageCheckLogCounter final : public LogSink {
public:
    void Append(std::string_view text) override {
        if (text == "fwUpdate rsp\r\n") ++count;
    }
    int count = 0;
};

ImageCheckLogCounter& LogCounter() {
    static ImageCheckLogCounter counter;
    return counter;
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

std::optional<std::size_t> TargetOffset(const std::uint8_t* setup) {
    switch (setup[1] & 3) {
        case 0:
            return std::nullopt;
        case 1:
            return kLastChunk;
        case 2:
            return kLastWholeCopy;
        default:
            const std::size_t offset = (std::size_t{setup[1]} >> 7 << 16) |
                                       (std::size_t{setup[2]} << 8) | std::size_t{setup[3]};
            return std::min(offset, kLastWholeCopy);
    }
}

// Piece lengths from a small xorshift generator, so that frames and lines are cut at
// every place across inputs.
class Pieces {
public:
    explicit Pieces(std::uint8_t longest) : longest_(longest), state_(0x9E3779B9u ^ longest) {}
    std::size_t Next(std::size_t left) {
        if (longest_ == 0) return left;
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return std::min<std::size_t>(left, 1 + state_ % longest_);
    }

private:
    const std::uint8_t longest_;
    std::uint32_t state_;
};

std::size_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
    return static_cast<std::size_t>(std::mismatch(a, a + count, b).first - a);
}

void CompareRecords(const Link& link, const ReferenceReceiver& reference) {
    const auto& record = reference.Recorded();
    if (link.ResponseState() != record.state)
        Fail("response state: link %d, reference %d", link.ResponseState(), record.state);
    if (link.ResponseLength() != record.length)
        Fail("response length: link %d, reference %d", link.ResponseLength(), record.length);
    const auto data = link.ResponseData();
    if (std::memcmp(data.data(), record.data.data(), data.size()) != 0) {
        const std::size_t at = FirstDifference(data.data(), record.data.data(), data.size());
        Fail("response data [%zu]: link %02x, reference %02x", at, unsigned{data[at]},
             unsigned{record.data[at]});
    }
    if (link.LineCount() != reference.Lines())
        Fail("line count: link %d, reference %d", link.LineCount(), reference.Lines());
    if (LogCounter().count != reference.ImageCheckReplies())
        Fail("image check replies logged: link %d, reference %d", LogCounter().count,
             reference.ImageCheckReplies());
}

// The link's read-back buffer, allocated at exactly the update's size, and the reference's,
// both holding the same pattern when a run starts.
class ReadBackBuffers {
public:
    ReadBackBuffers()
        : link_(new std::uint8_t[kBufferSize]), reference_(kBufferSize), pattern_(kBufferSize) {
        for (std::size_t i = 0; i < kBufferSize; ++i)
            pattern_[i] = static_cast<std::uint8_t>(i * 131 + 17);
        std::memcpy(link_.get(), pattern_.data(), kBufferSize);
        std::memcpy(reference_.data(), pattern_.data(), kBufferSize);
    }

    // Puts the pattern back where the last run's copies could land and points both
    // receivers at `offset`. A run that got to its end left the two buffers equal, and the
    // reference copies only to its target, so nothing else differs from the pattern.
    void Aim(Link& link, ReferenceReceiver& reference, std::optional<std::size_t> offset) {
        if (offset_) {
            std::memcpy(link_.get() + *offset_, pattern_.data() + *offset_, kMaxReadBackCopy);
            std::memcpy(reference_.data() + *offset_, pattern_.data() + *offset_, kMaxReadBackCopy);
        }
        offset_ = offset;
        if (offset) {
            link.SetReadBackTarget(link_.get() + *offset);
            reference.SetReadBackTarget(reference_.data() + *offset);
        }
    }

    void CompareTarget() const {
        if (offset_) Compare(*offset_, kMaxReadBackCopy);
    }
    void CompareAll() const { Compare(0, kBufferSize); }

private:
    void Compare(std::size_t from, std::size_t count) const {
        const std::uint8_t* link = link_.get() + from;
        const std::uint8_t* reference = reference_.data() + from;
        if (std::memcmp(link, reference, count) == 0) return;
        const std::size_t at = FirstDifference(link, reference, count);
        Fail("read-back buffer [%zu]: link %02x, reference %02x", from + at, unsigned{link[at]},
             unsigned{reference[at]});
    }

    std::unique_ptr<std::uint8_t[]> link_;
    std::vector<std::uint8_t> reference_;
    std::vector<std::uint8_t> pattern_;
    std::optional<std::size_t> offset_;
};

}  // namespace
}  // namespace k7::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    k7::SetLogSink(&k7::fuzz::LogCounter());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace k7::fuzz;
    if (size < kSetupBytes) return -1;
    LogCounter().count = 0;
    k7::Link link;
    ReferenceReceiver reference;
    static ReadBackBuffers buffers;
    buffers.Aim(link, reference, TargetOffset(data));

    Pieces pieces(data[0]);
    const std::uint8_t* wire = data + kSetupBytes;
    std::size_t left = size - kSetupBytes;
    while (left > 0) {
        const std::size_t n = pieces.Next(left);
        link.OnReceive(wire, static_cast<std::uint32_t>(n));
        for (std::size_t i = 0; i < n; ++i)
            reference.Feed(wire[i]);
        CompareRecords(link, reference);
        buffers.CompareTarget();
        wire += n;
        left -= n;
    }
    buffers.CompareAll();
    return 0;
}
