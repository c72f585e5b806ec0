// Address programming against the virtual receiver: each test names the answer it
// provokes.
#include <gtest/gtest.h>

#include "service/address.h"
#include "tests/sim_fixture.h"
#include "update/update_worker.h"

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
    Failure Run(const InputAddress& address = {0x0A, 0xFF, 0x7C}) {
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
    EXPECT_EQ(Run(), Failure::kNone);
    EXPECT_GE(elapsed, 350ms);
    EXPECT_EQ(Log(), Opened() +
                         "Command OK\r\nRead Addr OK    0A:FF:7C\r\n"
                         "================ PROGRAM OK ================\r\n");
    EXPECT_EQ(
        server->Inspect([](const sim::Receiver& r) { return r.LastPayload(kCmdWriteAddress); }),
        (std::vector<std::uint8_t>{0x00, 0x19, 0x01, 0x0A, 0xFF, 0x7C, 0x5C}));
}

// What follows "PROGRAM port... " for each answer: an unanswered write was carried out all
// the same; an answer to another command is no answer; a read-back one byte short would
// take the checksum for the address's last byte; any one byte read back wrong fails.
TEST_F(AddressRun, EachAnswerGivesItsOutcome) {
    const std::string ok = "\r\n================ PROGRAM OK ================\r\n";
    const std::string fail = "\r\n################ PROGRAM FAIL ################\r\n";
    const std::tuple<FaultAction, int, std::uint32_t, std::string> cases[] = {
        {FaultAction::kDrop, kCmdWriteAddress, 0,
         ".....x8.0 Command Failed\r\nRead Addr OK    0A:FF:7C" + ok},
        {FaultAction::kEcho, kCmdWriteAddress, 9, "Command N.G.\r\nRead Addr OK    0A:FF:7C" + ok},
        {FaultAction::kEcho, kCmdReadAddress, 201, "Command OK\r\nRead Addr N.G.\r\n"},
        {FaultAction::kDrop, kCmdReadAddress, 0, "Command OK\r\n.....x200.0 command failed\r\n"},
        {FaultAction::kShort, kCmdReadAddress, 6, "Command OK\r\nRead Addr N.G.\r\n"},
        {FaultAction::kDiffer, kCmdReadAddress, 4, "Command OK\r\nRead Addr OK    0B:FF:7C" + fail},
        {FaultAction::kDiffer, kCmdReadAddress, 5, "Command OK\r\nRead Addr OK    0A:FE:7C" + fail},
        {FaultAction::kDiffer, kCmdReadAddress, 6, "Command OK\r\nRead Addr OK    0A:FF:7D" + fail},
    };
    for (const auto& [action, command, arg, log] : cases) {
        ClearLog();
        options.faults.clear();
        Fault(action, command, arg);
        const bool confirmed = log.ends_with(ok);
        EXPECT_EQ(Run(), confirmed ? Failure::kNone : Failure::kFailed);
        EXPECT_EQ(Log(), Opened() + log);
    }
}

TEST_F(AddressRun, PortThatDoesNotOpen) {
    Link link;
    testing::internal::CaptureStdout();
    EXPECT_EQ(AddressWorker(link, PortFromPath("/dev/korvel7-missing"), {1, 2, 3}),
              Failure::kNotFound);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "/dev/korvel7-missing not found or busy\r\n");
    EXPECT_EQ(Log(), "/dev/korvel7-missing  NOT OPEN\r\n");
}

}  // namespace
}  // namespace k7
