// Address programming against the virtual receiver: each test names the answer it
// provokes.
#include <gtest/gtest.h>

#include "service/address.h"
#include "tests/sim_fixture.h"

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
    for (const char* bad : {"", "0", "000", " 0", "0 ", "G1", "g1", "0x", "\xc3\xa9"})
        EXPECT_FALSE(ParseHexPair(bad, &value)) << bad;
}

class AddressRun : public test::SimTest {
protected:
    AddressOutcome Run(const InputAddress& address = {0x0A, 0xFF, 0x7C}) {
        return RunWorkerOn(Serve(), {}, [&](Link& link, const PortRef& port) {
            return AddressWorker(link, port, address, timings);
        });
    }
    void Fault(FaultAction action, int command, std::uint32_t arg = 0) {
        SimTest::Fault(action, command, sim::kEveryOccurrence, arg);
    }
    std::string Opened() const { return Port() + " Opened\r\nPROGRAM " + Port() + "... "; }

    AddressTimings timings{10ms, 10ms};
};

// The address is read back only after the receiver had its time to store it.
TEST_F(AddressRun, GoodRunWritesThePayloadWaitsAndConfirms) {
    timings = {50ms, 300ms};
    EXPECT_EQ(Run(), AddressOutcome::kProgramOk);
    EXPECT_GE(elapsed, 350ms);
    EXPECT_EQ(Log(), Opened() +
                         "Command OK\r\nRead Addr OK    0A:FF:7C\r\n"
                         "================ PROGRAM OK ================\r\n");
    EXPECT_EQ(
        server->Inspect([](const sim::Receiver& r) { return r.LastPayload(kCmdWriteAddress); }),
        (std::vector<std::uint8_t>{0x00, 0x19, 0x01, 0x0A, 0xFF, 0x7C, 0x5C}));
}

TEST_F(AddressRun, UnansweredWriteStillReadsBack) {
    Fault(FaultAction::kDrop, kCmdWriteAddress);
    EXPECT_EQ(Run(), AddressOutcome::kProgramOk);  // the write was carried out, only unanswered
    EXPECT_EQ(Log(), Opened() +
                         ".....x8.0 Command Failed\r\nRead Addr OK    0A:FF:7C\r\n"
                         "================ PROGRAM OK ================\r\n");
}

TEST_F(AddressRun, WrongOrMissingAnswersAreNotGood) {
    Fault(FaultAction::kEcho, kCmdWriteAddress, 9);
    Fault(FaultAction::kEcho, kCmdReadAddress, 201);
    EXPECT_EQ(Run(), AddressOutcome::kProgramFailed);
    EXPECT_EQ(Log(), Opened() + "Command N.G.\r\nRead Addr N.G.\r\n");

    ClearLog();
    options.faults.clear();
    Fault(FaultAction::kDrop, kCmdReadAddress);
    EXPECT_EQ(Run(), AddressOutcome::kProgramFailed);
    EXPECT_EQ(Log(), Opened() + "Command OK\r\n.....x200.0 command failed\r\n");

    // One byte short of the address: its last byte would be the checksum.
    ClearLog();
    options.faults.clear();
    Fault(FaultAction::kShort, kCmdReadAddress, 6);
    EXPECT_EQ(Run(), AddressOutcome::kProgramFailed);
    EXPECT_EQ(Log(), Opened() + "Command OK\r\nRead Addr N.G.\r\n");
}

// Any one of the three bytes read back wrong fails the job.
TEST_F(AddressRun, EachDifferingByteIsProgramFail) {
    const char* read_back[] = {"0B:FF:7C", "0A:FE:7C", "0A:FF:7D"};
    for (std::uint32_t byte = 0; byte < 3; ++byte) {
        ClearLog();
        options.faults.clear();
        Fault(FaultAction::kDiffer, kCmdReadAddress, 4 + byte);
        EXPECT_EQ(Run(), AddressOutcome::kProgramFailed) << byte;
        EXPECT_EQ(Log(), Opened() + "Command OK\r\nRead Addr OK    " + read_back[byte] +
                             "\r\n################ PROGRAM FAIL ################\r\n");
    }
}

TEST_F(AddressRun, PortThatDoesNotOpen) {
    Link link;
    testing::internal::CaptureStdout();
    EXPECT_EQ(AddressWorker(link, PortFromPath("/dev/korvel7-missing"), {1, 2, 3}),
              AddressOutcome::kNotOpened);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "/dev/korvel7-missing not found or busy\r\n");
    EXPECT_EQ(Log(), "/dev/korvel7-missing  NOT OPEN\r\n");
}

}  // namespace
}  // namespace k7
