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
}

}  // namespace
}  // namespace k7
