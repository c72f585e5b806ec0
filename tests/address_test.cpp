// Address programming against the virtual receiver: each test names the answer it
// provokes.
#include <gtest/gtest.h>

#include <chrono>

#include "link/link.h"
#include "log/log.h"
#include "service/address.h"
#include "sim/pty_server.h"

namespace k7 {
namespace {

using namespace std::chrono_literals;
using sim::FaultAction;

TEST(AddressField, ExactlyTwoHexDigits) {
    std::uint8_t value = 0;
    EXPECT_TRUE(ParseHexPair("0a", &value));
    EXPECT_EQ(value, 0x0A);
    EXPECT_TRUE(ParseHexPair("FF", &value));
    EXPECT_EQ(value, 0xFF);
    EXPECT_TRUE(ParseHexPair("7c", nullptr));
    for (const char* bad :
         {"", "0", "000", " 0", "0 ", "G1", "g1", "0x", "\xc3\xa9", "0aaaaaaaaaaaaaaaaaaa"})
        EXPECT_FALSE(ParseHexPair(bad, &value)) << bad;
}

class AddressRun : public ::testing::Test {
protected:
    void SetUp() override { SetLogSink(&log); }
    void TearDown() override { SetLogSink(nullptr); }

    AddressOutcome Run(const InputAddress& address = {0x0A, 0xFF, 0x7C}) {
        server = std::make_unique<sim::PtyServer>(options);
        std::string error;
        if (!server->Start(&error)) ADD_FAILURE() << error;
        Link link;
        return AddressWorker(link, PortFromPath(server->SlavePath()), address, {10ms, 10ms});
    }
    void Fault(FaultAction action, int command, std::uint32_t arg = 0) {
        options.faults.push_back({action, command, sim::kEveryOccurrence, arg, 0});
    }
    std::string Opened() const {
        return server->SlavePath() + " Opened\r\nPROGRAM " + server->SlavePath() + "... ";
    }
    unsigned Count(std::uint8_t code) const {
        return server->Inspect([code](const sim::Receiver& r) { return r.CommandCount(code); });
    }

    CaptureLogSink log;
    sim::Options options;
    std::unique_ptr<sim::PtyServer> server;
};

TEST_F(AddressRun, GoodRunWritesThePayloadAndConfirms) {
    EXPECT_EQ(Run(), AddressOutcome::kProgramOk);
    EXPECT_EQ(log.Text(), Opened() +
                              "Command OK\r\nRead Addr OK    0A:FF:7C\r\n"
                              "================ PROGRAM OK ================\r\n");
    EXPECT_EQ(
        server->Inspect([](const sim::Receiver& r) { return r.LastPayload(kCmdWriteAddress); }),
        (std::vector<std::uint8_t>{0x00, 0x19, 0x01, 0x0A, 0xFF, 0x7C, 0x5C}));
}

TEST_F(AddressRun, UnansweredWriteStillReadsBack) {
    Fault(FaultAction::kDrop, kCmdWriteAddress);
    EXPECT_EQ(Run(), AddressOutcome::kProgramOk);  // the write was carried out, only unanswered
    EXPECT_EQ(log.Text(), Opened() +
                              ".....x8.0 Command Failed\r\nRead Addr OK    0A:FF:7C\r\n"
                              "================ PROGRAM OK ================\r\n");
    EXPECT_EQ(Count(kCmdReadAddress), 1u);
}

TEST_F(AddressRun, WrongAnswersAreNotGood) {
    Fault(FaultAction::kEcho, kCmdWriteAddress, 9);
    Fault(FaultAction::kEcho, kCmdReadAddress, 201);
    EXPECT_EQ(Run(), AddressOutcome::kProgramFailed);
    EXPECT_EQ(log.Text(), Opened() + "Command N.G.\r\nRead Addr N.G.\r\n");
}

TEST_F(AddressRun, UnansweredReadFails) {
    Fault(FaultAction::kDrop, kCmdReadAddress);
    EXPECT_EQ(Run(), AddressOutcome::kProgramFailed);
    EXPECT_EQ(log.Text(), Opened() + "Command OK\r\n.....x200.0 command failed\r\n");
}

TEST_F(AddressRun, OneDifferingByteIsProgramFail) {
    Fault(FaultAction::kDiffer, kCmdReadAddress, 6);
    EXPECT_EQ(Run(), AddressOutcome::kProgramFailed);
    EXPECT_EQ(log.Text(), Opened() +
                              "Command OK\r\nRead Addr OK    0A:FF:7D\r\n"
                              "################ PROGRAM FAIL ################\r\n");
}

// A reply too short to hold the address must not be read as one: its bytes 4 to 6 would
// be its checksum and bytes left over from earlier replies.
TEST_F(AddressRun, ShortReadReplyIsNotGood) {
    Fault(FaultAction::kShort, kCmdReadAddress, 4);
    EXPECT_EQ(Run({0, 0, 0}), AddressOutcome::kProgramFailed);
    EXPECT_EQ(log.Text(), Opened() + "Command OK\r\nRead Addr N.G.\r\n");
}

TEST_F(AddressRun, PortThatDoesNotOpen) {
    Link link;
    testing::internal::CaptureStdout();
    EXPECT_EQ(AddressWorker(link, PortFromNumber(0), {1, 2, 3}), AddressOutcome::kNotOpened);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "COM0 not found or busy\r\n");
    EXPECT_EQ(log.Text(), "COM0  NOT OPEN\r\n");
}

}  // namespace
}  // namespace k7
