#include <gtest/gtest.h>

#include <vector>

#include "link/frame.h"
#include "tests/test_frames.h"

namespace k7 {
namespace {

using test::Bytes;
using test::MakeFrame;

TEST(Frame, KnownCommandFrames) {
    EXPECT_EQ(MakeFrame(27, {}), (Bytes{0x88, 0xEE, 0x01, 0x1B, 0x92}));
    EXPECT_EQ(MakeFrame(9, {}), (Bytes{0x88, 0xEE, 0x01, 0x09, 0x80}));
    EXPECT_EQ(MakeFrame(6, {0x00, 0x00}), (Bytes{0x88, 0xEE, 0x03, 0x06, 0x00, 0x00, 0x7F}));
}

TEST(Frame, LargestCommandFrameSumsModulo256) {
    std::vector<std::uint8_t> payload(kMaxCommandPayload, 0xFF);
    auto frame = MakeFrame(4, payload);
    ASSERT_EQ(frame.size(), 253u);
    EXPECT_EQ(frame[2], 249);
    unsigned sum = 0x88 + 0xEE + 249 + 4 + 248u * 0xFF;
    EXPECT_EQ(frame.back(), static_cast<std::uint8_t>(sum));
}

}  // namespace
}  // namespace k7
