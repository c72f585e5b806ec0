#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "link/link.h"
#include "log/log.h"
#include "tests/test_frames.h"

namespace k7 {
namespace {

using test::Bytes;
using test::Concat;
using test::MakeFrame;
using test::Text;

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogSink(&log); }
    void TearDown() override { SetLogSink(nullptr); }
    void Feed(const Bytes& bytes) {
        link.OnReceive(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    CaptureLogSink log;
    Link link;
};

// A data response keeps its payload and the checksum after it; only the answer to the
// image check is logged, as it arrives.
TEST_F(ParserTest, DataResponseKeepsPayloadAndChecksum) {
    auto frame = MakeFrame(3, {27, 2, 4, 5});
    Feed(frame);
    EXPECT_EQ(link.ResponseState(), 3);
    EXPECT_EQ(link.ResponseLength(), 5);  // LEN: payload plus the checksum byte after it
    auto data = link.ResponseData();
    EXPECT_TRUE(std::equal(frame.begin() + 4, frame.end(), data.begin()));
    EXPECT_EQ(log.Text(), "");
    Feed(MakeFrame(3, {7, 0x11, 0, 0}));
    EXPECT_EQ(log.Text(), "fwUpdate rsp\r\n");
}

TEST_F(ParserTest, RejectedFramesRecordNothing) {
    Bytes bad_sum = MakeFrame(3, {27, 1, 0, 0});
    bad_sum.back() ^= 0x01;
    Feed(bad_sum);
    EXPECT_EQ(link.ResponseState(), 0);

    // The second 0x88 takes the place of the 0xEE, the frame is dropped, and what
    // follows is not a frame until the next 0x88.
    Feed(Concat({{0x88}, MakeFrame(3, {27, 1, 0, 0})}));
    EXPECT_EQ(link.ResponseState(), 0);

    // LEN 0: the code byte is its own checksum, so only kind 0x76 passes, and it is
    // not a kind that records anything.
    Feed({0x88, 0xEE, 0x00, 0x76});
    Feed(MakeFrame(9, {1, 2, 3}));
    EXPECT_EQ(link.ResponseState(), 0);

    // Kind 0 is a response that clears what an earlier one recorded.
    Feed(MakeFrame(2, {}));
    ASSERT_EQ(link.ResponseState(), 2);
    Feed(MakeFrame(0, {5}));
    EXPECT_EQ(link.ResponseState(), 0);
    EXPECT_EQ(link.ResponseLength(), 0);
}

// The data after four header bytes, and the checksum, go to the target; nothing else.
TEST_F(ParserTest, ReadBackCopiesOnlyTheFrameBytes) {
    Feed(MakeFrame(4, {0, 0, 4, 0, 1, 2, 3, 4}));  // no target yet: recorded, not copied
    EXPECT_EQ(link.ResponseLength(), 7);
    std::array<std::uint8_t, 300> target;
    target.fill(0x5A);
    link.SetReadBackTarget(target.data());
    for (const Bytes& too_short : {Bytes{}, Bytes{1}, Bytes{1, 2, 3}})
        Feed(MakeFrame(4, too_short));
    EXPECT_EQ(link.ResponseState(), 4);
    EXPECT_EQ(link.ResponseLength(), 2);
    EXPECT_TRUE(std::all_of(target.begin(), target.end(), [](auto b) { return b == 0x5A; }));

    Bytes data(128);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    auto frame = MakeFrame(4, Concat({{0x00, 0x08, 128, 0}, data}));
    Feed(frame);
    EXPECT_EQ(link.ResponseLength(), 131);  // LEN - 2
    EXPECT_TRUE(std::equal(data.begin(), data.end(), target.begin()));
    EXPECT_EQ(target[128], frame.back());  // the checksum follows the data
    EXPECT_EQ(target[129], 0x5A);          // nothing past the frame
}

TEST_F(ParserTest, CountsCompleteNmeaLinesAroundFrames) {
    Feed(Text("garbage\n$GPGGA,1*00\r\n$GPRMC,2"));
    EXPECT_EQ(link.LineCount(), 1);
    Feed(Text("*00\r\n"));
    EXPECT_EQ(link.LineCount(), 2);
    // A "$" inside a line neither ends it nor starts another, and an LF outside a line
    // counts nothing.
    Feed(Text("$GP$GP"));
    EXPECT_EQ(link.LineCount(), 2);
    Feed(Text("\n\n\n"));
    EXPECT_EQ(link.LineCount(), 3);

    // 0x0A inside a frame is frame data; a line a frame interrupts ends at the LF after it.
    link.ResetLineCount();
    const Bytes frame = MakeFrame(3, {27, 0x0A, 0x0A, 0x0A});
    Feed(Concat({Text("$GPGSV,"), frame, Text("tail\r\n"), frame, frame, Text("\n")}));
    EXPECT_EQ(link.LineCount(), 1);
    EXPECT_EQ(link.ResponseState(), 3);
}

// Frames keep arriving while a caller reads: every snapshot is one whole response, its
// kind, length and data from the same frame. Frames of two lengths and two fills follow
// each other for a while rather than a number of times, so that even a loaded machine
// switches threads in the middle of some reads.
TEST_F(ParserTest, SnapshotIsOneWholeResponse) {
    const Bytes frames[] = {MakeFrame(3, Bytes(200, 0x55)), MakeFrame(3, Bytes(200, 0xAA)),
                            MakeFrame(3, {27, 2, 4, 5})};
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
        for (int i = 0; std::chrono::steady_clock::now() < until; ++i)
            Feed(frames[i % 3]);
        done = true;
    });
    int torn = 0;
    while (!done) {
        const Response r = link.LastResponse();
        if (r.kind == 0) continue;
        const auto length = static_cast<std::size_t>(r.length);  // the payload and its sum
        const Bytes& frame = frames[length == 5 ? 2 : r.data[0] == 0x55 ? 0 : 1];
        const bool whole = length == frame[2] && r.data[0] == frame[4] &&
                           r.data[length - 2] == frame[length + 2] &&
                           r.data[length - 1] == frame.back();
        torn += whole ? 0 : 1;
    }
    receiver.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace k7
