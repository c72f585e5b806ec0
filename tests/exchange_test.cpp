// Send-and-wait exchanges of the link with the virtual receiver, and the line settings
// the link asks of the port.
#include <gtest/gtest.h>
#include <termios.h>

#include <thread>

#include "tests/sim_fixture.h"
#include "tests/test_frames.h"

// Every tcsetattr() of the test program passes here (linked with --wrap=tcsetattr), so the
// test sees what the link asked for, also what a pseudo-terminal does not keep (parity,
// character size).
termios last_line_settings{};
extern "C" int __real_tcsetattr(int fd, int action, const termios* settings);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios* settings) {
    last_line_settings = *settings;
    return __real_tcsetattr(fd, action, settings);
}

namespace k7 {
namespace {

using namespace std::chrono_literals;
using sim::FaultAction;

class LinkExchange : public test::SimTest {
protected:
    void TearDown() override {
        link.CloseComPort();
        SimTest::TearDown();
    }
    void Open() {
        ASSERT_EQ(link.OpenComPort(Serve()), 1);
        EXPECT_EQ(Log(), Port() + " Opened\r\n");
        ClearLog();
    }
    // The version query, timed.
    int AskVersion() {
        const auto start = std::chrono::steady_clock::now();
        const int answered = link.SendCommand(kCmdVersion, nullptr, 0);
        elapsed = std::chrono::steady_clock::now() - start;
        return answered;
    }

    const LinkWaits waits{100ms, 300ms};
    Link link{waits};
};

TEST_F(LinkExchange, PortIsOpenedRaw8N1At115200WithoutFlowControl) {
    Open();
    const termios& line = last_line_settings;
    EXPECT_EQ(cfgetispeed(&line), B115200);
    EXPECT_EQ(cfgetospeed(&line), B115200);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD), CS8 | CREAD);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
}

TEST_F(LinkExchange, AnswerToALaterTrySucceeds) {
    Fault(FaultAction::kDrop, kCmdVersion, 1);
    Fault(FaultAction::kCorrupt, kCmdVersion, 2);
    Open();
    EXPECT_EQ(AskVersion(), 1);
    EXPECT_GE(elapsed, 2 * waits.attempt);
    EXPECT_EQ(Log(), "..");
    EXPECT_EQ(Count(kCmdVersion), 3u);
}

// An answer that arrives after an exchange gave up leaves the event signalled: the next
// exchange's first wait returns at once with nothing recorded and is repeated.
TEST_F(LinkExchange, LateAnswerCarriesIntoTheNextExchange) {
    for (unsigned nth : {1u, 2u, 3u, 4u, 6u})
        Fault(FaultAction::kDrop, kCmdVersion, nth);
    Fault(FaultAction::kDelay, kCmdVersion, 5, 150);
    Open();
    EXPECT_EQ(AskVersion(), 0);
    for (int i = 0; i < 2000 && link.ResponseState() == 0; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(link.ResponseState(), kRspData);

    ClearLog();
    EXPECT_EQ(AskVersion(), 1);
    EXPECT_EQ(Log(), ".");
    EXPECT_EQ(Count(kCmdVersion), 7u);
}

TEST_F(LinkExchange, PayloadLimitsAndMissingPayload) {
    Open();
    const test::Bytes largest(248, 0x42);
    ASSERT_EQ(link.SendPacket(kCmdWriteChunk, largest.data(), 248), 1);
    const test::Bytes too_large(249, 0x42);
    EXPECT_EQ(link.SendPacket(kCmdWriteChunk, too_large.data(), 249), 0);
    EXPECT_EQ(link.SendPacket(kCmdWriteChunk, nullptr, 3), 0);
    EXPECT_EQ(Log(), "<large><null>");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Count(kCmdWriteChunk), 1u);
    EXPECT_EQ(server->Inspect([](const sim::Receiver& r) { return r.LastPayload(kCmdWriteChunk); }),
              largest);
}

// A cancel from another thread ends the exchange under way after its current try, and
// nothing is sent, waited for or opened after it.
TEST_F(LinkExchange, CancelEndsTheExchangeUnderWayAndEveryLaterOne) {
    Fault(FaultAction::kDrop, kCmdVersion);
    Open();
    std::thread canceller([this] {
        std::this_thread::sleep_for(30ms);
        link.Cancel();
    });
    EXPECT_EQ(AskVersion(), 0);
    canceller.join();
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 0);
    EXPECT_FALSE(link.Pause(10s));
    EXPECT_EQ(Count(kCmdVersion), 1u);
    link.CloseComPort();
    EXPECT_EQ(link.OpenComPort(PortFromPath(Port())), 0);
}

// How an exchange ends, as its caller is told: the reply it asked for (kind, code and
// length), none in all its tries, another, a stop from another thread, a receiver gone.
TEST_F(LinkExchange, EachEndIsToldApart) {
    using E = k7::Exchange;
    const ReplyCheck version{kRspData, kCmdVersion, 5}, data{kRspData};
    const struct {
        FaultAction action;
        std::uint32_t arg;
        ReplyCheck wanted;
        E end;
    } cases[] = {
        {FaultAction::kDelay, 1, version, E::kAnswered},
        {FaultAction::kDrop, 0, version, E::kNoAnswer},
        {FaultAction::kKind, 1, data, E::kOtherKind},
        {FaultAction::kEcho, 28, version, E::kOtherKind},
        {FaultAction::kShort, 3, version, E::kOtherKind},
        {FaultAction::kHangup, 0, version, E::kDeviceGone},
        {FaultAction::kDrop, 0, version, E::kStopped},
    };
    for (const auto& c : cases) {
        options.faults.clear();
        Fault(c.action, kCmdVersion, sim::kEveryOccurrence, c.arg);
        Link asking(waits);
        ASSERT_EQ(asking.OpenComPort(Serve()), 1);
        std::thread canceller([&] {
            std::this_thread::sleep_for(30ms);
            if (c.end == E::kStopped) asking.Cancel();
        });
        EXPECT_EQ(asking.Ask(kCmdVersion, nullptr, 0, c.wanted), c.end)
            << static_cast<int>(c.action);
        canceller.join();
    }
}

TEST_F(LinkExchange, ClosedPortFailsAtOnce) {
    EXPECT_EQ(link.SendPacket(kCmdVersion, nullptr, 0), 0);
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 0);
    EXPECT_EQ(Log(), ".");
    EXPECT_EQ(link.CloseComPort(), 0);
}

}  // namespace
}  // namespace k7
