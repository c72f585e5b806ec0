// Feeds arbitrary bytes through Link::OnReceive and, after every call, compares what the link
// recorded with a reference receiver fed the same bytes. The reference is written from the
// wire format (0x88 0xEE LEN CODE PAYLOAD... SUM, NMEA lines from '$' to LF), not from the
// parser: it collects each frame whole and judges it at its last byte. The read-back target
// sits in a buffer of exactly the size the update reads image A into, so AddressSanitizer
// stops any copy past its end.
//
// Input: four set-up bytes, then the bytes as they come off the wire.
//   [0]      how the wire bytes are cut into OnReceive calls: 0 = one call, n = pieces of 1 to
//            n bytes, their lengths from a small xorshift generator
//   [1] & 3  where the read-back target sits: 0 none, 1 the image's last chunk, 2 the last
//            place a whole kind-4 copy fits, 3 the offset made of bit 7 of [1] and bytes [2]
//            [3], capped at that last place
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string_view>
#include <vector>

#include "link/link.h"
#include "log/log.h"

namespace k7 {
namespace {

// The update reads image A back, 128 bytes at a time, into a buffer one block larger.
constexpr std::size_t kImageSize = 100080;
constexpr std::size_t kBufferSize = kImageSize + 4096;
constexpr std::size_t kLastChunk = (kImageSize - 1) / 128 * 128;
constexpr std::size_t kLastWholeCopy = kBufferSize - kMaxReadBackCopy;

// What the link's receive parser must record.
struct Reference {
    int state = 0;
    int length = 0;
    std::array<std::uint8_t, 256> data{};
    int lines = 0;
    int image_check_replies = 0;      // accepted data frames answering the image check
    std::uint8_t* target = nullptr;   // where the data of kind-4 frames go; null drops them
    std::vector<std::uint8_t> frame;  // the frame being collected; empty outside one
    bool in_line = false;

    // A frame start wins over everything outside a frame, so a line it interrupts goes on
    // after the frame. A start followed by anything but 0xEE is dropped together with that
    // byte, which is not looked at again.
    void Feed(std::uint8_t b) {
        if (!frame.empty()) {
            frame.push_back(b);
            if (frame.size() == 2 && b != 0xEE) frame.clear();
            if (frame.size() > 2 && frame.size() == frame[2] + 4u) {
                Judge(frame);
                frame.clear();  // keeps its room for the next frame
            }
        } else if (b == 0x88) {
            frame.push_back(b);
        } else if (!in_line) {
            in_line = b == '$';
        } else if (b == '\n') {
            in_line = false;
            ++lines;
        }
    }

    // Kinds above 4 are accepted and change nothing. Kind 3 keeps its payload and sum (LEN
    // bytes); kind 4 reports LEN - 2 and sends its data, sum included, to the target.
    void Judge(const std::vector<std::uint8_t>& f) {
        const auto sum = std::accumulate(f.begin(), f.end() - 1, 0u);
        if (static_cast<std::uint8_t>(sum) != f.back() || f[3] > 4) return;
        state = f[3];
        length = state == 3 ? f[2] : state == 4 ? f[2] - 2 : 0;
        if (state == 3) {
            std::copy(f.begin() + 4, f.end(), data.begin());
            if (data[0] == kCmdImageCheck) ++image_check_replies;
        }
        if (state == 4 && target != nullptr && f.size() > 8)
            std::copy(f.begin() + 8, f.end(), target);
    }
};

// Counts the message the link logs for each reply to the image check.
struct ImageCheckLog final : LogSink {
    void Append(std::string_view text) override {
        if (text == "fwUpdate rsp\r\n") ++count;
    }
    int count = 0;
} image_check_log;

void Expect(const char* what, int link, int reference) {
    if (link == reference) return;
    std::fprintf(stderr, "%s: link %d, reference %d\n", what, link, reference);
    std::abort();
}

void ExpectBytes(const char* what, const std::uint8_t* link, const std::uint8_t* reference,
                 std::size_t from, std::size_t count) {
    if (std::memcmp(link + from, reference + from, count) == 0) return;
    const auto [l, r] = std::mismatch(link + from, link + from + count, reference + from);
    std::fprintf(stderr, "%s [%td]: link %02x, reference %02x\n", what, l - link, unsigned{*l},
                 unsigned{*r});
    std::abort();
}

void ExpectRecords(const Link& link, const Reference& reference) {
    Expect("response state", link.ResponseState(), reference.state);
    Expect("response length", link.ResponseLength(), reference.length);
    ExpectBytes("response data", link.ResponseData().data(), reference.data.data(), 0, 256);
    Expect("line count", link.LineCount(), reference.lines);
    Expect("image check replies logged", image_check_log.count, reference.image_check_replies);
}

std::optional<std::size_t> TargetOffset(const std::uint8_t* setup) {
    const std::size_t free_offset =
        (std::size_t{setup[1]} >> 7 << 16) | (std::size_t{setup[2]} << 8) | std::size_t{setup[3]};
    const std::size_t offsets[] = {0, kLastChunk, kLastWholeCopy,
                                   std::min(free_offset, kLastWholeCopy)};
    if ((setup[1] & 3) == 0) return std::nullopt;
    return offsets[setup[1] & 3];
}

// The link's read-back buffer, allocated at exactly the update's size, and the reference's.
// Both hold the same pattern wherever the last input's target did not reach: an input that
// got to its end left them equal, and the reference writes only at its target.
struct ReadBackBuffers {
    std::unique_ptr<std::uint8_t[]> link{new std::uint8_t[kBufferSize]};
    std::vector<std::uint8_t> reference = std::vector<std::uint8_t>(kBufferSize);
    std::optional<std::size_t> target;

    ReadBackBuffers() { Fill(0, kBufferSize); }
    void Fill(std::size_t from, std::size_t count) {
        for (std::size_t i = from; i < from + count; ++i)
            link[i] = reference[i] = static_cast<std::uint8_t>(i * 131 + 17);
    }
    void Aim(Link& link_parser, Reference& model, std::optional<std::size_t> offset) {
        if (target) Fill(*target, kMaxReadBackCopy);
        target = offset;
        if (!target) return;
        link_parser.SetReadBackTarget(link.get() + *target);
        model.target = reference.data() + *target;
    }
    void ExpectEqual(std::size_t from, std::size_t count) const {
        ExpectBytes("read-back buffer", link.get(), reference.data(), from, count);
    }
};

}  // namespace
}  // namespace k7

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    k7::SetLogSink(&k7::image_check_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return -1;
    static k7::ReadBackBuffers buffers;
    k7::image_check_log.count = 0;
    k7::Link link;
    k7::Reference reference;
    buffers.Aim(link, reference, k7::TargetOffset(data));

    const std::uint8_t longest = data[0];
    std::uint32_t state = 0x9E3779B9u ^ longest;
    for (std::size_t at = 4; at < size;) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::size_t n =
            longest == 0 ? size - at : std::min<std::size_t>(size - at, 1 + state % longest);
        link.OnReceive(data + at, static_cast<std::uint32_t>(n));
        for (const std::uint8_t* b = data + at; b < data + at + n; ++b)
            reference.Feed(*b);
        k7::ExpectRecords(link, reference);
        if (buffers.target) buffers.ExpectEqual(*buffers.target, k7::kMaxReadBackCopy);
        at += n;
    }
    buffers.ExpectEqual(0, k7::kBufferSize);
    return 0;
}
