#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link/link.h"
#include "log/log.h"
#include "tests/pty_peer.h"

namespace k7 {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::MakeFrame;
using test::PtyPeer;

const Bytes kVersionReply = MakeFrame(3, {27, 2, 4, 5});

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogSink(&log);
        ASSERT_FALSE(peer.Path().empty());
    }
    void TearDown() override {
        link.CloseComPort();
        peer.Stop();
        SetLogSink(nullptr);
    }
    void Open() {
        ASSERT_EQ(link.OpenComPort(PortFromPath(peer.Path())), 1);
        log.Clear();
    }
    // Answers the version query on the given attempts only (counted from 0).
    void AnswerOn(std::initializer_list<int> attempts) {
        std::vector<int> which(attempts);
        peer.Serve([which](int index, const Bytes&) -> std::optional<Bytes> {
            if (std::find(which.begin(), which.end(), index) == which.end()) return std::nullopt;
            return kVersionReply;
        });
    }

    CaptureLogSink log;
    PtyPeer peer;
    Link link{LinkWaits{100ms, 300ms}};
};

TEST_F(ExchangeTest, OpenLogsThePortAndAnswerEndsTheExchange) {
    ASSERT_EQ(link.OpenComPort(PortFromPath(peer.Path())), 1);
    EXPECT_EQ(log.Text(), peer.Path() + " Opened\r\n");
    log.Clear();
    AnswerOn({0});
    ASSERT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 1);
    EXPECT_EQ(link.ResponseState(), 3);
    EXPECT_EQ(link.ResponseData()[3], 5);
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(peer.LastFrame(), (Bytes{0x88, 0xEE, 0x01, 0x1B, 0x92}));
}

TEST_F(ExchangeTest, SilenceGivesFiveAttemptsThenTheFailureLine) {
    Open();
    AnswerOn({});
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 0);
    EXPECT_EQ(log.Text(), ".....x27.0 ");
    EXPECT_EQ(peer.FramesReceived(), 5);
}

TEST_F(ExchangeTest, AnswerToALaterAttemptSucceeds) {
    Open();
    AnswerOn({2});
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 1);
    EXPECT_EQ(log.Text(), "..");
    EXPECT_EQ(peer.FramesReceived(), 3);
}

// A response that arrives after an exchange gave up leaves the event signalled: the next
// exchange's first wait returns at once with nothing recorded and is repeated.
TEST_F(ExchangeTest, LateResponseSignalCarriesIntoNextExchange) {
    Open();
    std::atomic<bool> release_late{false};
    peer.Serve([&](int index, const Bytes&) -> std::optional<Bytes> {
        if (index == 4) {
            while (!release_late)
                std::this_thread::sleep_for(1ms);
            return kVersionReply;
        }
        if (index == 6) return kVersionReply;
        return std::nullopt;
    });
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 0);
    release_late = true;
    for (int i = 0; i < 2000 && link.ResponseState() == 0; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(link.ResponseState(), 3);

    log.Clear();
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 1) << log.Text();
    EXPECT_EQ(log.Text(), ".");
    EXPECT_EQ(peer.FramesReceived(), 7);
}

TEST_F(ExchangeTest, PayloadLimitsAndMissingPayload) {
    Open();
    AnswerOn({});
    Bytes largest(248, 0x42);
    ASSERT_EQ(link.SendPacket(kCmdWriteChunk, largest.data(), 248), 1);
    for (int i = 0; i < 1000 && peer.FramesReceived() == 0; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(peer.LastFrame(), MakeFrame(kCmdWriteChunk, largest));

    Bytes too_large(249, 0x42);
    EXPECT_EQ(link.SendPacket(kCmdWriteChunk, too_large.data(), 249), 0);
    EXPECT_EQ(link.SendPacket(kCmdWriteChunk, nullptr, 3), 0);
    EXPECT_EQ(log.Text(), "<large><null>");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(peer.FramesReceived(), 1);
}

TEST_F(ExchangeTest, ClosedPortFailsAtOnce) {
    EXPECT_EQ(link.SendPacket(kCmdVersion, nullptr, 0), 0);
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 0);
    EXPECT_EQ(log.Text(), ".");
    EXPECT_EQ(link.CloseComPort(), 0);
}

// A receiver unplugged in the middle of an exchange ends it after the current attempt,
// without running through the remaining retries.
TEST_F(ExchangeTest, HangUpEndsTheExchange) {
    Open();
    peer.Serve([&](int, const Bytes&) -> std::optional<Bytes> {
        peer.HangUp();
        return std::nullopt;
    });
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 0);
    EXPECT_EQ(log.Text(), ".");
    EXPECT_FALSE(link.PortOpen());
    EXPECT_EQ(link.CloseComPort(), 1);
}

}  // namespace
}  // namespace k7
