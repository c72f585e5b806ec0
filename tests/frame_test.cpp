#include <gtest/gtest.h>

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
    // A write's frame: the sum runs over every byte and wraps; the simulator sums alike,
    // so only bytes written out here can tell.
    Bytes write = {0x01, 0x38, 0x10};
    for (unsigned b = 0xF0; b <= 0xFF; ++b)
        write.push_back(static_cast<std::uint8_t>(b));
    Bytes frame = {0x88, 0xEE, 0x14, 0x04};
    frame.insert(frame.end(), write.begin(), write.end());
    frame.push_back(0x4F);
    EXPECT_EQ(MakeFrame(4, write), frame);
}

}  // namespace
}  // namespace k7
