// Whole update runs against the virtual receiver over a real pseudo-terminal, each named
// for the failure it provokes.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/format.h"
#include "tests/sim_fixture.h"
#include "tests/small_image.h"
#include "update/progress.h"
#include "update/update_worker.h"

namespace k7 {
namespace {

using namespace std::chrono_literals;
using namespace test;
using sim::FaultAction;

constexpr std::uint32_t kBlock = kBlockSize, kChunk = kChunkSize;
const std::span<const std::uint8_t> kImageA = BuiltInImages().a;
const std::span<const std::uint8_t> kImageB = BuiltInImages().b;
const std::uint32_t kSizeA = static_cast<std::uint32_t>(kImageA.size());
const std::uint32_t kBlocksA = (kSizeA + kBlock - 1) / kBlock;
const std::uint16_t kSumA = ImageCheckSum(kImageA);

const std::string kSent =
    "Updated firmware was sent. KORVEL7 will be reset with new firmware\r\nUpdate successful\r\n";

const auto Dots = [](std::uint32_t n) { return std::string(n, '.'); };

class UpdateRun : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        options.blank = true;
        options.nmea_rate = 20;
        settings.probe_wait = 300ms;
        settings.update.check_pause = 10ms;
    }
    Failure Run(LinkWaits waits = {}) {
        Serve();
        return RunAgain(waits);
    }
    // Another run on the same receiver.
    Failure RunAgain(LinkWaits waits = {}) {
        return RunWorkerOn(PortFromPath(Port()), waits, [this](Link& link, const PortRef& port) {
            SetRunning(&link);
            const Failure outcome = worker(link, port, settings, {});
            SetRunning(nullptr);
            return outcome;
        });
    }
    // Stops the run under way, from any thread, as Ctrl-C or the window's close does.
    void Stop() {
        std::lock_guard<std::mutex> lock(running_mutex_);
        if (running_ != nullptr) running_->Cancel();
    }
    std::vector<std::uint8_t> Memory() const {
        return server->Inspect([](const sim::Receiver& r) { return r.Memory(); });
    }
    void UseImageA(const std::vector<std::uint8_t>& image) {
        images_ = WithSmallImageA(image);
        settings.images = &images_;
    }

    UpdateSettings settings;
    decltype(&UpdateWorker) worker = UpdateWorker;

private:
    // The link is let go of only once no Stop uses it any more.
    void SetRunning(Link* link) {
        std::lock_guard<std::mutex> lock(running_mutex_);
        running_ = link;
    }

    std::mutex running_mutex_;
    Link* running_ = nullptr;
    FirmwareImages images_;
};

// Major versions 1 and 2 take image A, here the tests' small one: the whole log, what
// the receiver's memory holds and what the last write and the reset order carried.
TEST_F(UpdateRun, Versions1And2GetImageAWithTheCompleteLog) {
    const std::vector<std::uint8_t> image = SmallImage();
    UseImageA(image);
    for (const auto& [version, text] :
         {std::pair{sim::Version{1, 9, 9}, "1.9.9"}, std::pair{sim::Version{2, 4, 5}, "2.4.5"}}) {
        options.version = version;
        ASSERT_EQ(Run(), Failure::kNone) << text;
        EXPECT_EQ(Log(), SmallImageLog(Port(), text));
        ClearLog();
    }
    const auto memory = Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
    // Nothing written past the image's last chunk.
    EXPECT_TRUE(std::all_of(memory.begin() + 5000, memory.begin() + 2 * kBlock,
                            [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(Count(kCmdEraseBlock), 2u);
    EXPECT_EQ(Count(kCmdWriteChunk), 40u);
    server->Inspect([](const sim::Receiver& r) {
        EXPECT_EQ(r.LastPayload(kCmdWriteChunk), kSmallImageLastWrite);
        EXPECT_EQ(r.LastPayload(kCmdImageCheck), kSmallImageReset);
        EXPECT_EQ(r.CommandCount(kCmdImageCheck), 2u);
    });
}

// Old firmware in memory: every block must really be erased. The receiver boots image B
// only when its check got B's size and sum.
TEST_F(UpdateRun, Version3GetsImageBAndTheReceiverBootsIt) {
    options.version = {3, 0, 0};
    options.blank = false;
    ASSERT_EQ(Run(), Failure::kNone);
    EXPECT_NE(Log().find("Existing FW version: 3.0.0\r\nerase "), std::string::npos) << Log();
    ExpectLogEnd("Issuing cpu reset command\r\n" + kSent);
    EXPECT_TRUE(std::equal(kImageB.begin(), kImageB.end(), Memory().begin()));
    EXPECT_EQ(server->Inspect([](const sim::Receiver& r) { return r.CurrentVersion(); }),
              (sim::Version{BuiltInImages().b_version.major, BuiltInImages().b_version.minor,
                            BuiltInImages().b_version.patch}));
}

TEST_F(UpdateRun, UnsupportedVersionsEraseNothing) {
    for (sim::Version version : {sim::Version{0, 9, 9}, sim::Version{4, 0, 0}}) {
        options.version = version;
        EXPECT_EQ(Run(), Failure::kFailed);
        ExpectLogEnd(Format("Existing FW version: %u.%u.%u\r\n", version.major, version.minor,
                            version.patch) +
                     "NOT supported firmware version!\r\nUpdate not successful\r\n");
        EXPECT_EQ(Count(kCmdEraseBlock), 0u);
    }
}

// With the product's waits: five tries, each waiting its 200 ms.
TEST_F(UpdateRun, VersionQueryUnanswered) {
    Fault(FaultAction::kDrop, kCmdVersion);
    EXPECT_EQ(Run(), Failure::kFailed);
    EXPECT_GE(elapsed, settings.probe_wait + 5 * 200ms);
    EXPECT_EQ(Count(kCmdVersion), 5u);
    ExpectLogEnd(
        ".....x27.0 command failed\r\nfail to get existing firmware version.\r\n"
        "Update not successful\r\n");
}

// A block that cannot be erased is passed over: on erased memory its write still works, on
// old firmware its read-back fails.
TEST_F(UpdateRun, EraseFailingFiveTimesIsPassedOver) {
    options.refused_erase_blocks = {3};
    ASSERT_EQ(Run({20ms, 500ms}), Failure::kNone);
    std::string failures;
    for (int i = 0; i < 5; ++i)
        failures += Format(".....x6.0 erase block 4 / %u fail\r\n", kBlocksA);
    EXPECT_NE(Log().find("erase ..." + failures + Dots(kBlocksA - 4) + "ok\r\n"), std::string::npos)
        << Log();

    ClearLog();
    options.blank = false;
    EXPECT_EQ(Run({20ms, 500ms}), Failure::kFailed);
    EXPECT_NE(
        Log().find(Format("send block 4/%u ", kBlocksA) + Dots(32) + " " + Dots(32) + "verify "),
        std::string::npos)
        << Log();
    ExpectLogEnd("<verify fail 1 bytes>\r\n.....x6.0 " +
                 Format("erase block 4 / %u fail\r\n", kBlocksA) +
                 "Firmware Update failed\r\nUpdate not successful\r\n");
}

// A block that fails is erased again before the run ends.
TEST_F(UpdateRun, WriteChunkNeverAnswered) {
    for (unsigned attempt = 0; attempt < 5; ++attempt)
        Fault(FaultAction::kDrop, kCmdWriteChunk, 32 + 10 + attempt);  // block 2, chunk 10
    EXPECT_EQ(Run(), Failure::kFailed);
    ExpectLogEnd(Format("send block 2/%u ", kBlocksA) + Dots(9) + ".....x4.0 fail\r\n" +
                 ".Firmware Update failed\r\nUpdate not successful\r\n");
    EXPECT_EQ(Count(kCmdEraseBlock), kBlocksA + 1);
}

// A difference in a block's first or last byte, reported at its place in the block.
TEST_F(UpdateRun, ReadBackDifferenceIsReportedAtItsBlockPosition) {
    for (const std::uint32_t at : {kBlock, 2 * kBlock - 1}) {  // in block 2
        options.faults.clear();
        Fault(FaultAction::kFlip, kCmdReadChunk, at / kChunk + 1, at % kChunk, 0x40);
        EXPECT_EQ(Run(), Failure::kFailed);
        const unsigned in_block = at % kBlock, image = kImageA[at];
        ExpectLogEnd(Format("verify %04x %02x %02x\r\n", in_block, image, image ^ 0x40) +
                     Format("verify %04x\r\n", in_block) +
                     "<verify fail 1 bytes>\r\n.Firmware Update failed\r\n"
                     "Update not successful\r\n");
    }
}

TEST_F(UpdateRun, ReadResponseOfOddLengthIsReportedAndCompared) {
    Fault(FaultAction::kShort, kCmdReadChunk, 3, 4 + 1);  // one data byte instead of 128
    EXPECT_EQ(Run(), Failure::kFailed);
    EXPECT_NE(Log().find(" ..<rsp = 4, 4>."), std::string::npos) << Log();
    // The chunk's other bytes never arrived: the compare must not pass them.
    EXPECT_NE(Log().find("verify 010"), std::string::npos) << Log();
}

TEST_F(UpdateRun, AcknowledgementInsteadOfReadBackNeverPassesAsData) {
    // Image whose third chunk is all zero, as a freshly cleared buffer would be.
    std::vector<std::uint8_t> image(kImageA.begin(), kImageA.end());
    std::fill_n(image.begin() + 2 * kChunk, kChunk, std::uint8_t{0});
    UseImageA(image);
    Fault(FaultAction::kKind, kCmdReadChunk, 3, kRspNoData1);
    EXPECT_EQ(Run(), Failure::kFailed);
    EXPECT_NE(Log().find("<rsp = 1, 0>"), std::string::npos) << Log();
    ExpectLogEnd(Format("verify %04x 00 ff\r\nverify %04x\r\n", 2 * kChunk, 2 * kChunk) +
                 "<verify fail 1 bytes>\r\n.Firmware Update failed\r\nUpdate not successful\r\n");
}

// Read-back data that arrive while the next block is being written land in a block that
// was already verified; only the compare over the whole image can see them. The image's
// last two chunks of block 1 differ in exactly `n` bytes, and the next-to-last chunk's
// answer comes again as the answer to block 2's first write.
TEST_F(UpdateRun, WholeImageCompareListsFewerThanTenDifferences) {
    for (const unsigned n : {9u, 10u}) {
        std::vector<std::uint8_t> image = SmallImage();
        const std::uint32_t chunk31 = 31 * kChunk;
        std::copy_n(image.begin() + 30 * kChunk, kChunk, image.begin() + chunk31);
        for (unsigned i = 0; i < n; ++i)
            image[chunk31 + 3 + 11 * i] ^= 0x5A;
        UseImageA(image);
        options.faults.clear();
        Fault(FaultAction::kAgain, kCmdReadChunk, 31, kCmdWriteChunk);
        EXPECT_EQ(Run(), Failure::kFailed);
        std::string expected = Format("verify failed %u\r\n", n);
        for (unsigned i = 0, at = chunk31 + 3; i < n && n < 10; ++i, at += 11)
            expected += Format("err: %04x %02x %02x\r\n", at, image[at], image[at] ^ 0x5A);
        ExpectLogEnd(
            "send block 2/2 ........ ........ok\r\n" + expected +
            "Update aborted 5000 5000\r\nFirmware Update failed\r\nUpdate not successful\r\n");
    }
}

TEST_F(UpdateRun, CheckStatusChecksumFailureOrUnknown) {
    for (const auto& [status, line] :
         {std::pair{0xEEu, "checksum failure"}, std::pair{0x42u, "unknown failure <42>"}}) {
        options.faults.clear();
        Fault(FaultAction::kStatus, kCmdImageCheck, 1, status);
        EXPECT_EQ(Run(), Failure::kFailed);
        ExpectLogEnd(Format("returned cs=%04x\r\nUpdate verify ", kSumA) + line +
                     "\r\nFirmware Update failed\r\nUpdate not successful\r\n");
        EXPECT_EQ(Count(kCmdImageCheck), 1u);
    }
}

TEST_F(UpdateRun, UnansweredResetStillSucceeds) {
    Fault(FaultAction::kDrop, kCmdImageCheck, 2);
    EXPECT_EQ(Run(LinkWaits{200ms, 500ms}), Failure::kNone);
    ExpectLogEnd(
        "Issuing cpu reset command\r\n.x7.0 reset command failed. Please reset the unit "
        "manually\r\n" +
        kSent);
}

// Every byte was read back and compared, so the run succeeds, but the receiver was not
// reset and the log says so. Unanswered, with the product's waits: the pause before the
// check, then the check's one try of 4 s; an answer to another command is no answer (a
// strict run failing on an acknowledgement is the CLI test's).
TEST_F(UpdateRun, UnansweredCheckAsksForAManualReset) {
    settings.update.check_pause = 1000ms;
    for (const auto action : {FaultAction::kDrop, FaultAction::kEcho}) {
        options.faults.clear();
        Fault(action, kCmdImageCheck, 1, kCmdVersion);
        EXPECT_EQ(Run(), Failure::kNone);
        const bool dropped = action == FaultAction::kDrop;
        EXPECT_GE(elapsed, dropped ? settings.probe_wait + 5000ms : 0ms);
        ExpectLogEnd(Format("Checksum passed for %u bytes. cs=%04x\r\n", kSizeA, kSumA) +
                     (dropped ? ".x7.0 " : "") +
                     "no answer to the image check. Please reset the unit manually\r\n" + kSent);
        EXPECT_EQ(Count(kCmdImageCheck), 1u);
    }
}

// A stop at each step, as Ctrl-C or closing the window gives it from another thread: the
// job fails there, says so on a line of its own after what it had logged, and sends
// nothing more. The stop comes while the `nth` command of `code` waits for the answer it
// never gets, or, for code 0, as the check begins: in the pause before it.
TEST_F(UpdateRun, StopAtEachStepFailsThereAndSendsNothingMore) {
    settings.update.check_pause = 500ms;
    const std::string cs = Format("cs=%04x", kSumA), sent = "send block ";
    const std::string run_failed = "Firmware Update failed\r\nUpdate not successful\r\n";
    const struct {
        int code;
        unsigned nth;
        decltype(&UpdateWorker) job;
        bool skip_if_current;
        std::string before, line;
        const char* step;
        std::string tail;
    } stops[] = {
        {kCmdProbe, 1, UpdateWorker, false, "... ", "during the probe", "probe",
         "Update not successful\r\n"},
        {kCmdVersion, 1, UpdateWorker, false, "", "while reading the version", "version",
         "Update not successful\r\n"},
        {kCmdEraseBlock, 3, UpdateWorker, false, "erase ..", "during the erase", "erase",
         run_failed},
        {kCmdWriteChunk, 40, UpdateWorker, false, sent + Format("2/%u ", kBlocksA) + Dots(7),
         "while writing", "program", run_failed},
        {kCmdReadChunk, 5, UpdateWorker, false,
         sent + Format("1/%u ", kBlocksA) + Dots(32) + " ....", "while writing", "program",
         run_failed},
        {kCmdReadChunk, 5, UpdateWorker, true, Format("read back %u bytes ", kSizeA),
         "during the compare", "compare", "Update not successful\r\n"},
        {kCmdReadChunk, 5, VerifyWorker, false, Format("read back %u bytes ", kSizeA),
         "during the compare", "compare", "Verify not successful\r\n"},
        {0, 0, UpdateWorker, false, cs, "before the image check", "check", run_failed},
        {kCmdImageCheck, 1, UpdateWorker, false, cs, "during the image check", "check", run_failed},
        {kCmdImageCheck, 2, UpdateWorker, false, "Issuing cpu reset command", "during the reset",
         "check", run_failed},
    };
    RunReport report;
    settings.update.report = &report;
    for (const auto& stop : stops) {
        std::atomic<unsigned> received = 0, at_stop = 0;
        const auto cancel = [&] {
            at_stop = received.load();
            Stop();
        };
        const std::string trigger =
            Format("command %u #%u,", static_cast<unsigned>(stop.code), stop.nth);
        options.faults.clear();
        if (stop.code != 0) Fault(FaultAction::kDrop, stop.code, stop.nth);
        options.trace = [&](const std::string& line) {
            ++received;
            if (line.starts_with(trigger)) cancel();
        };
        settings.progress = [&](const UpdateProgress& step) {
            if (stop.code == 0 && step.phase == UpdatePhase::kCheck && at_stop == 0) cancel();
        };
        settings.update.skip_if_current = stop.skip_if_current;
        worker = stop.job;
        report = {};
        ClearLog();
        EXPECT_EQ(Run(), Failure::kStopped) << stop.line;
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(received, at_stop) << stop.line;
        EXPECT_NE(Log().find(stop.before + "\r\nstopped " + stop.line + "\r\n"), std::string::npos)
            << Log();
        ExpectLogEnd("stopped " + stop.line + "\r\n" + stop.tail);
        for (const char* noise :
             {"fail\r\n", "fail>", "command failed", "fail to get", "Please reset", "will be reset",
              "Update successful", "Verify successful"})
            EXPECT_EQ(Log().find(noise), std::string::npos) << noise << " in\n" << Log();
        EXPECT_EQ(report.failure, Failure::kStopped);
        EXPECT_STREQ(StepName(report.failed_step), stop.step);
        server.reset();  // its trace reads this round's trigger
    }
}

// --skip-if-current: a blank receiver that reports the image's version is updated. One
// stopped before its check holds image A but still reports its old version: it is updated
// in full and boots the image's version; only then is it current.
TEST_F(UpdateRun, SkipIfCurrentWantsTheImageAndItsVersion) {
    const FirmwareVersion v = BuiltInImages().a_version;
    options.version = {v.major, v.minor, v.patch};
    settings.update.skip_if_current = true;
    EXPECT_EQ(Run(), Failure::kNone);
    EXPECT_EQ(Count(kCmdEraseBlock), kBlocksA);
    EXPECT_EQ(Log().find("already holds"), std::string::npos) << Log();

    settings.update.skip_if_current = false;
    options.version = {1, 0, 0};
    settings.progress = [this](const UpdateProgress& step) {
        if (step.phase == UpdatePhase::kCheck) Stop();
    };
    ASSERT_EQ(Run(), Failure::kStopped);
    settings.progress = nullptr;
    settings.update.skip_if_current = true;
    const std::string carried = Format("%u.%u.%u", v.major, v.minor, v.patch);
    for (const std::string& reason :
         {"KORVEL7 holds image A but reports 1.0.0, not " + carried + "; updating\r\n",
          "KORVEL7 already holds image A and reports " + carried + "; nothing was written\r\n"}) {
        ClearLog();
        const unsigned erased = Count(kCmdEraseBlock);
        EXPECT_EQ(RunAgain(), Failure::kNone);
        const bool skipped = reason.find("already") != std::string::npos;
        EXPECT_NE(Log().find(reason), std::string::npos) << Log();
        EXPECT_EQ(Count(kCmdEraseBlock) == erased, skipped);
        EXPECT_EQ(Count(kCmdImageCheck), 2u);
    }
}

TEST_F(UpdateRun, SilentReceiverIsNotFound) {
    options.nmea_rate = 0;
    EXPECT_EQ(Run(), Failure::kNotFound);
    EXPECT_EQ(Log(), "\r\nEntered COM PORT : " + Port() + "\r\n" + Port() + " Opened\r\nChecking " +
                         Port() + "... not KORVEL7\r\nKORVEL7 not found\r\n");
    EXPECT_EQ(Count(kCmdVersion), 0u);
    EXPECT_EQ(Count(kCmdProbe), 1u);
}

// An unplugged receiver ends the run at the next exchange instead of retrying every
// remaining block; the hang guard is the test's own time limit.
TEST_F(UpdateRun, UnplugMidRunFailsCleanly) {
    Fault(FaultAction::kHangup, kCmdWriteChunk, 100);
    EXPECT_EQ(Run(), Failure::kFailed);
    ExpectLogEnd(".fail\r\nFirmware Update failed\r\nUpdate not successful\r\n");
}

// The phases of a run's steps in order; the fraction and the bytes never go back.
std::vector<UpdatePhase> Phases(const std::vector<UpdateProgress>& steps) {
    std::vector<UpdatePhase> phases;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_TRUE(i == 0 || (steps[i].fraction >= steps[i - 1].fraction &&
                               steps[i].line_bytes >= steps[i - 1].line_bytes))
            << "step " << i;
        if (phases.empty() || phases.back() != steps[i].phase) phases.push_back(steps[i].phase);
    }
    return phases;
}

// What a progress bar is told over a run: the phases in order, and 100% only as the last
// word of a run that succeeded.
TEST_F(UpdateRun, ProgressGoesThroughThePhasesAndReachesOneOnlyOnSuccess) {
    std::vector<UpdateProgress> steps;
    settings.progress = [&steps](const UpdateProgress& step) { steps.push_back(step); };
    using P = UpdatePhase;

    ASSERT_EQ(Run(), Failure::kNone);
    EXPECT_EQ(Phases(steps), (std::vector{P::kProbe, P::kVersion, P::kErase, P::kProgram,
                                          P::kCompare, P::kCheck}));
    ASSERT_EQ(steps.back().fraction, 1.0);
    // Every step of the plan was counted on the way, and 1 was left to the last word.
    EXPECT_GT(steps[steps.size() - 2].fraction, 0.99);
    EXPECT_LT(steps[steps.size() - 2].fraction, 1.0);
    EXPECT_GT(steps.back().line_bytes, 2 * kImageA.size());

    steps.clear();
    Fault(FaultAction::kStatus, kCmdImageCheck, 1, 0xEE);
    ASSERT_EQ(Run(), Failure::kFailed);
    EXPECT_EQ(Phases(steps).back(), P::kCheck);
    EXPECT_LT(steps.back().fraction, 1.0);

    steps.clear();
    options.silent = true;
    ASSERT_EQ(Run(), Failure::kNotFound);
    EXPECT_EQ(Phases(steps), std::vector{P::kProbe});
    EXPECT_LT(steps.back().fraction, 1.0);
}

// A fixed wait weighs what the line could carry meanwhile, so the bar moves with the
// clock: after the 3 s probe it stands near the probe's share of a real run of a
// 100080-byte image beside a 113348-byte one (3 s of about 25 s at 115200 baud, as the
// update benchmark measures it).
TEST(Progress, FixedWaitsWeighTheirShareOfARealRun) {
    double fraction = 0;
    ProgressTracker progress([&fraction](const UpdateProgress& step) { fraction = step.fraction; },
                             113348, 3000ms, 1000ms);
    progress.Probed();
    const double before_choice = fraction;
    progress.ImageChosen(100080);
    EXPECT_GT(fraction, before_choice);
    EXPECT_NEAR(fraction, 3.0 / 25.2, 0.02);
}

}  // namespace
}  // namespace k7
