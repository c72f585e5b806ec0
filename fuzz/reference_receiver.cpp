#include "fuzz/reference_receiver.h"

#include <algorithm>
#include <numeric>

namespace k7::fuzz {

namespace {

constexpr std::uint8_t kStart = 0x88;
constexpr std::uint8_t kSecond = 0xEE;
constexpr std::uint8_t kLineStart = '$';
constexpr std::uint8_t kLineEnd = '\n';
constexpr std::uint8_t kImageCheckCommand = 7;
// Start, second and LEN before the LEN bytes (code and payload), then the sum.
constexpr std::size_t kBytesBesideLen = 4;
// A kind-4 payload starts with four header bytes; its data follow.
constexpr std::size_t kReadBackDataAt = 8;

}  // namespace

// A frame start wins over everything outside a frame, so a line it interrupts goes on
// after the frame. A start followed by anything but 0xEE is dropped together with that
// byte, which is not looked at again.
void ReferenceReceiver::Feed(std::uint8_t b) {
    if (collecting_) {
        frame_.push_back(b);
        if (frame_.size() == 2 && b != kSecond) {
            collecting_ = false;
        } else if (frame_.size() > 2 && frame_.size() == frame_[2] + kBytesBesideLen) {
            collecting_ = false;
            Judge(frame_);
        }
        return;
    }
    if (b == kStart) {
        collecting_ = true;
        frame_.assign(1, b);
        return;
    }
    if (!in_line_) {
        in_line_ = b == kLineStart;
    } else if (b == kLineEnd) {
        in_line_ = false;
        ++lines_;
    }
}

// Kinds above 4 are accepted and change nothing. With LEN 0 the frame is four bytes and its
// fourth is both code and sum.
void ReferenceReceiver::Judge(const std::vector<std::uint8_t>& frame) {
    const auto sum = std::accumulate(frame.begin(), frame.end() - 1, 0u);
    if (static_cast<std::uint8_t>(sum) != frame.back()) return;

    const int len = frame[2];
    const int kind = frame[3];
    if (kind > 4) return;
    record_.state = kind;
    if (kind <= 2) {
        record_.length = 0;
    } else if (kind == 3) {
        // Payload and sum, LEN bytes in all.
        record_.length = len;
        std::copy(frame.begin() + 4, frame.end(), record_.data.begin());
        if (record_.data[0] == kImageCheckCommand) ++image_check_replies_;
    } else {
        // The length the update checks is LEN - 2; the data go out with the sum after them.
        record_.length = len - 2;
        if (target_ != nullptr && frame.size() > kReadBackDataAt)
            std::copy(frame.begin() + kReadBackDataAt, frame.end(), target_);
    }
}

}  // namespace k7::fuzz
