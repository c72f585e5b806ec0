#include "update/firmware_update.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "link/link.h"
#include "log/log.h"
#include "update/firmware_version.h"
#include "update/progress.h"

namespace k7 {

namespace {

constexpr std::uint32_t kChunksPerBlock = kBlockSize / kChunkSize;
constexpr int kEraseAttempts = 5;
// Read responses outside this data length are reported; the compare still decides. The
// upper bound lies above what any chunk's answer can carry: kept on purpose, since the
// established log reports exactly these lengths and tools that read logs expect it.
constexpr int kMinReadLength = 6;
constexpr int kMaxReadLength = 143;
// With fewer differences than this each is listed.
constexpr std::size_t kListedDifferences = 10;

// The check's reply: its code, the status and the receiver's sum, then the checksum byte.
constexpr int kCheckReplyLength = 5;
constexpr std::uint8_t kCheckStatusPassed = 0x11;
constexpr std::uint8_t kCheckStatusSumFailed = 0xEE;
constexpr std::uint8_t kResetSelector[2] = {0xAB, 0xCD};

// Positions go to the receiver in units of 16 bytes, high byte first.
void PutUnitOffset(std::uint32_t offset, std::uint8_t* out) {
    const std::uint32_t unit = offset / 16;
    out[0] = static_cast<std::uint8_t>(unit >> 8);
    out[1] = static_cast<std::uint8_t>(unit);
}

class UpdateRun {
public:
    UpdateRun(Link& link, std::span<const std::uint8_t> image, UpdateOptions options,
              ProgressTracker& progress, RunReport& report)
        : link_(link),
          image_(image),
          size_(static_cast<std::uint32_t>(image.size())),
          block_count_((size_ + kBlockSize - 1) / kBlockSize),
          options_(options),
          progress_(progress),
          report_(report) {}

    bool Run();
    Failure Verify();

private:
    bool AllocateReadBack();
    bool ReadWholeImage();
    void CollectDifferences();
    void LogDifferences() const;
    bool ErasePhase();
    bool ProgramPhase();
    bool CompareWholeImage();
    bool ReceiverCheck();
    bool Quit(Exchange end, const char* what, bool line_open);

    Exchange EraseBlock(std::uint32_t block);
    Exchange WriteBlock(std::uint32_t block, std::uint32_t length);
    Exchange ReadBlock(std::uint32_t block, std::uint32_t length);
    bool BlockMatches(std::uint32_t block, std::uint32_t length);
    Exchange ReadChunk(std::uint32_t offset, std::uint32_t length);

    Link& link_;
    std::span<const std::uint8_t> image_;
    const std::uint32_t size_;
    const std::uint32_t block_count_;
    const UpdateOptions options_;
    ProgressTracker& progress_;
    RunReport& report_;
    std::unique_ptr<std::uint8_t[]> read_back_;
    struct Difference {
        std::uint32_t offset;
        unsigned image_byte;
        unsigned read_byte;
    };
    std::vector<Difference> differences_;
};

// The buffer reaches past the image by a block, so a read response longer than its
// chunk still lands inside it.
bool UpdateRun::AllocateReadBack() {
    read_back_.reset(new (std::nothrow) std::uint8_t[size_ + kBlockSize]);
    if (!read_back_) return false;
    std::fill_n(read_back_.get(), size_, std::uint8_t{0});
    return true;
}

bool UpdateRun::Run() {
    if (!AllocateReadBack()) {
        report_.Fail(Failure::kFailed, StepOf(progress_.Phase()));
        return false;
    }
    bool ok = ErasePhase() && ProgramPhase() && CompareWholeImage() && ReceiverCheck();
    if (!ok && report_.failure != Failure::kStopped)
        report_.Fail(Failure::kFailed, StepOf(progress_.Phase()));

    link_.SetReadBackTarget(nullptr);
    read_back_.reset();
    if (ok) {
        progress_.Finished();
        LogPrintf("Updated firmware was sent. KORVEL7 will be reset with new firmware\r\n");
    } else {
        LogPrintf("Firmware Update failed\r\n");
    }
    return ok;
}

// Ends a phase that cannot go on. A stop says so in its own line; any other end was
// logged where it happened.
bool UpdateRun::Quit(Exchange end, const char* what, bool line_open) {
    if (end == Exchange::kStopped) LogStopped(report_, StepOf(progress_.Phase()), what, line_open);
    return false;
}

// A block that cannot be erased is passed over: its write and read-back will show
// whether it holds the image.
bool UpdateRun::ErasePhase() {
    progress_.Begin(UpdatePhase::kErase);
    LogPrintf("erase ");
    for (std::uint32_t block = 0; block < block_count_; ++block) {
        Exchange erased = Exchange::kNoAnswer;
        for (int attempt = 0; attempt < kEraseAttempts && erased == Exchange::kNoAnswer; ++attempt)
            erased = EraseBlock(block);
        if (const auto gone = link_.Gone()) return Quit(*gone, "during the erase", true);
    }
    LogPrintf("ok\r\n");
    return true;
}

// A block that fails is erased again, so the receiver is not left holding a block that
// looks programmed but is not.
bool UpdateRun::ProgramPhase() {
    progress_.Begin(UpdatePhase::kProgram);
    std::uint32_t remaining = size_;
    for (std::uint32_t block = 0; block < block_count_; ++block) {
        const std::uint32_t length = std::min(remaining, kBlockSize);
        Exchange end = WriteBlock(block, length);
        if (end == Exchange::kAnswered) end = ReadBlock(block, length);
        if (end == Exchange::kStopped || end == Exchange::kDeviceGone)
            return Quit(end, "while writing", true);
        if (end != Exchange::kAnswered || !BlockMatches(block, length)) {
            EraseBlock(block);
            return false;
        }
        // A stop between blocks ends the run before the next block is begun.
        if (const auto gone = link_.Gone()) return Quit(*gone, "while writing", false);
        remaining -= length;
    }
    return true;
}

Exchange UpdateRun::EraseBlock(std::uint32_t block) {
    std::uint8_t payload[2];
    PutUnitOffset(block * kBlockSize, payload);
    const Exchange end = link_.Ask(kCmdEraseBlock, payload, sizeof payload);
    if (end == Exchange::kAnswered) {
        progress_.BlockErased();
        LogPrintf(".");
        return end;
    }
    if (end == Exchange::kStopped) return end;
    LogPrintf("erase block %u / %u ", block + 1, block_count_);
    LogPrintf("fail\r\n");
    return end;
}

Exchange UpdateRun::WriteBlock(std::uint32_t block, std::uint32_t length) {
    LogPrintf("send block %u/%u ", block + 1, block_count_);
    std::uint32_t offset = block * kBlockSize;
    std::uint32_t left = length;
    for (std::uint32_t chunk = 0; chunk < kChunksPerBlock && left > 0; ++chunk) {
        const std::uint32_t n = std::min(left, kChunkSize);
        std::uint8_t payload[3 + kChunkSize];
        PutUnitOffset(offset, payload);
        payload[2] = static_cast<std::uint8_t>(n);
        std::copy_n(&image_[offset], n, &payload[3]);
        const Exchange end = link_.Ask(kCmdWriteChunk, payload, n + 3);
        if (end != Exchange::kAnswered) {
            if (end != Exchange::kStopped) LogPrintf("fail\r\n");
            return end;
        }
        progress_.ChunkWritten(n);
        report_.bytes_written += n;
        LogPrintf(".");
        left -= n;
        offset += kChunkSize;
    }
    return Exchange::kAnswered;
}

Exchange UpdateRun::ReadBlock(std::uint32_t block, std::uint32_t length) {
    LogPrintf(" ");
    std::uint32_t offset = block * kBlockSize;
    std::uint32_t left = length;
    for (std::uint32_t chunk = 0; chunk < kChunksPerBlock && left > 0; ++chunk) {
        const std::uint32_t n = std::min(left, kChunkSize);
        const Exchange end = ReadChunk(offset, n);
        if (end != Exchange::kAnswered) {
            if (end != Exchange::kStopped) LogPrintf("<recv fail>\r\n");
            return end;
        }
        progress_.ChunkRead(n);
        LogPrintf(".");
        left -= n;
        offset += kChunkSize;
    }
    return Exchange::kAnswered;
}

bool UpdateRun::BlockMatches(std::uint32_t block, std::uint32_t length) {
    const std::uint32_t start = block * kBlockSize;
    auto lock = link_.LockReadBack();
    const std::uint8_t* read = read_back_.get() + start;
    const std::uint8_t* expected = &image_[start];
    auto [e, r] = std::mismatch(expected, expected + length, read);
    if (e == expected + length) {
        lock.unlock();
        LogPrintf("ok\r\n");
        return true;
    }
    const auto j = static_cast<unsigned>(e - expected);
    const unsigned image_byte = *e;
    const unsigned read_byte = *r;
    lock.unlock();
    // The offset twice and a count that is always 1 are kept on purpose: the established
    // log has these lines, and tools that read logs expect them.
    LogPrintf("verify %04x %02x %02x\r\n", j, image_byte, read_byte);
    LogPrintf("verify %04x\r\n", j);
    LogPrintf("<verify fail %d bytes>\r\n", 1);
    return false;
}

// Reads one chunk into its place in the read-back buffer. The place is first filled with
// the complement of the image, so a chunk whose data never arrive cannot pass the compare
// on what the buffer held before. A reply of another kind or length is reported and
// taken: the compare decides.
Exchange UpdateRun::ReadChunk(std::uint32_t offset, std::uint32_t length) {
    std::uint8_t* target = read_back_.get() + offset;
    {
        auto lock = link_.LockReadBack();
        for (std::uint32_t i = 0; i < length; ++i)
            target[i] = static_cast<std::uint8_t>(~image_[offset + i]);
    }
    link_.SetReadBackTarget(target);
    std::uint8_t payload[3];
    PutUnitOffset(offset, payload);
    payload[2] = static_cast<std::uint8_t>(length);
    const Exchange end = link_.Ask(kCmdReadChunk, payload, sizeof payload,
                                   {kRspReadBack, -1, kMinReadLength, kMaxReadLength});
    if (end != Exchange::kOtherKind) return end;
    const Response reply = link_.LastResponse();
    LogPrintf("<rsp = %d, %d>", reply.kind, reply.length);
    return Exchange::kAnswered;
}

// Read-back data that arrived outside their own exchange can still have changed the
// buffer after a block was verified; this last pass over the whole image catches that.
bool UpdateRun::CompareWholeImage() {
    progress_.Begin(UpdatePhase::kCompare);
    CollectDifferences();
    if (differences_.empty()) return true;
    LogDifferences();
    // The size twice is kept on purpose: the established log has this line, and tools
    // that read logs expect it.
    LogPrintf("Update aborted %u %u\r\n", size_, size_);
    return false;
}

// Compares the read-back buffer with the image, keeping every difference.
void UpdateRun::CollectDifferences() {
    differences_.clear();
    {
        auto lock = link_.LockReadBack();
        for (std::uint32_t i = 0; i < size_; ++i)
            if (read_back_[i] != image_[i]) differences_.push_back({i, image_[i], read_back_[i]});
    }
    report_.differences = static_cast<std::uint32_t>(differences_.size());
}

void UpdateRun::LogDifferences() const {
    LogPrintf("verify failed %u\r\n", static_cast<unsigned>(differences_.size()));
    if (differences_.size() < kListedDifferences) {
        for (const auto& d : differences_)
            LogPrintf("err: %04x %02x %02x\r\n", d.offset, d.image_byte, d.read_byte);
    }
}

// Every chunk of the image's span, read as the update reads it back; a dot per block.
bool UpdateRun::ReadWholeImage() {
    progress_.Begin(UpdatePhase::kCompare);
    LogPrintf("read back %u bytes ", size_);
    for (std::uint32_t offset = 0; offset < size_; offset += kChunkSize) {
        const std::uint32_t n = std::min(size_ - offset, kChunkSize);
        const Exchange end = ReadChunk(offset, n);
        if (end == Exchange::kStopped) return Quit(end, "during the compare", true);
        if (end != Exchange::kAnswered) {
            LogPrintf("<recv fail>\r\n");
            return false;
        }
        progress_.ChunkRead(n);
        if ((offset + n) % kBlockSize == 0 || offset + n == size_) LogPrintf(".");
    }
    LogPrintf(" done\r\n");
    return true;
}

Failure UpdateRun::Verify() {
    const char letter = report_.image;
    if (!AllocateReadBack() || !ReadWholeImage()) {
        link_.SetReadBackTarget(nullptr);
        if (report_.failure != Failure::kStopped) report_.Fail(Failure::kFailed, Step::kRead);
        return report_.failure;
    }
    link_.SetReadBackTarget(nullptr);
    CollectDifferences();
    read_back_.reset();
    if (differences_.empty()) {
        LogPrintf("matches image %c\r\n", letter);
        return Failure::kNone;
    }
    LogDifferences();
    LogPrintf("differs from image %c\r\n", letter);
    report_.Fail(Failure::kDiffers, Step::kCompare);
    return Failure::kDiffers;
}

// The receiver sums what it holds and compares with our size and sum. Status 0x11 asks
// for the reset into the new firmware. No usable answer leaves the verified image as it
// is (every block was already read back and compared here), but the receiver then stays
// in its loader until someone resets it, which the log says; strict runs fail instead.
// A stop is never taken for a missing answer: nothing was checked or reset.
bool UpdateRun::ReceiverCheck() {
    progress_.Begin(UpdatePhase::kCheck);
    const std::uint16_t sum = ImageCheckSum(image_);
    LogPrintf("Checksum passed for %u bytes. cs=%04x\r\n", size_, unsigned{sum});
    if (!link_.Pause(options_.check_pause))
        return Quit(Exchange::kStopped, "before the image check", false);
    progress_.CheckPaused();

    std::uint8_t payload[7] = {0x00,
                               0x00,
                               static_cast<std::uint8_t>(size_ >> 16),
                               static_cast<std::uint8_t>(size_ >> 8),
                               static_cast<std::uint8_t>(size_),
                               static_cast<std::uint8_t>(sum >> 8),
                               static_cast<std::uint8_t>(sum)};
    const Exchange end = link_.Ask(kCmdImageCheck, payload, sizeof payload,
                                   {kRspData, kCmdImageCheck, kCheckReplyLength});
    if (end == Exchange::kStopped) return Quit(end, "during the image check", false);
    const Response reply = link_.LastResponse();
    if (end != Exchange::kAnswered) {
        LogPrintf("no answer to the image check. Please reset the unit manually\r\n");
        return !options_.strict;
    }
    progress_.CheckAnswered();
    const auto& data = reply.data;

    LogPrintf("returned cs=%02x%02x\r\n", unsigned{data[2]}, unsigned{data[3]});
    const std::uint8_t status = data[1];
    if (status == kCheckStatusPassed) {
        LogPrintf("Issuing cpu reset command\r\n");
        payload[0] = kResetSelector[0];
        payload[1] = kResetSelector[1];
        const Exchange reset = link_.Ask(kCmdImageCheck, payload, sizeof payload);
        // A receiver may reset before its answer is out, so an order unanswered was sent too.
        report_.reset_sent = reset != Exchange::kStopped;
        if (reset == Exchange::kAnswered)
            progress_.ResetSent();
        else if (reset == Exchange::kStopped)
            return Quit(reset, "during the reset", false);
        else
            LogPrintf("reset command failed. Please reset the unit manually\r\n");
        return true;
    }
    if (status == kCheckStatusSumFailed)
        LogPrintf("Update verify checksum failure\r\n");
    else
        LogPrintf("Update verify unknown failure <%02x>\r\n", unsigned{status});
    return false;
}

}  // namespace

std::span<const std::uint8_t> ImageFor(const FirmwareImages& images, FirmwareVersion version,
                                       char* letter, FirmwareVersion* carried) {
    FirmwareVersion unused;
    FirmwareVersion& carried_version = carried != nullptr ? *carried : unused;
    if (version.major == 1 || version.major == 2) {
        *letter = 'A';
        carried_version = images.a_version;
        return images.a;
    }
    if (version.major == 3) {
        *letter = 'B';
        carried_version = images.b_version;
        return images.b;
    }
    *letter = 0;
    return {};
}

void LogStopped(RunReport& report, Step step, const char* what, bool line_open) {
    LogPrintf("%sstopped %s\r\n", line_open ? "\r\n" : "", what);
    report.Fail(Failure::kStopped, step);
}

std::uint16_t ImageCheckSum(std::span<const std::uint8_t> image) {
    unsigned sum = 0;
    for (std::uint8_t b : image)
        sum += b;
    return static_cast<std::uint16_t>(sum);
}

namespace {

// Reads the version and picks the image for it, logging both; empty when either fails.
// `carried`: the version the image carries.
std::span<const std::uint8_t> ChooseImage(Link& link, const FirmwareImages& images,
                                          ProgressTracker& tracker, RunReport& report,
                                          FirmwareVersion* carried) {
    tracker.Begin(UpdatePhase::kVersion);
    FirmwareVersion version;
    const Exchange asked = QueryFirmwareVersion(link, &version);
    if (asked == Exchange::kStopped) {
        LogStopped(report, Step::kVersion, "while reading the version");
        return {};
    }
    if (asked != Exchange::kAnswered) {
        LogNoExistingVersion();
        report.Fail(Failure::kFailed, Step::kVersion);
        return {};
    }
    tracker.VersionRead();
    report.version = version;
    LogExistingVersion(version);
    const std::span<const std::uint8_t> image = ImageFor(images, version, &report.image, carried);
    if (image.empty()) {
        LogPrintf("NOT supported firmware version!\r\n");
        report.Fail(Failure::kFailed, Step::kVersion);
        return {};
    }
    report.image_size = static_cast<std::uint32_t>(image.size());
    tracker.ImageChosen(report.image_size);
    return image;
}

// The tracker and the report a run counts into: the caller's, or its own.
struct RunTargets {
    RunTargets(ProgressTracker* given_tracker, RunReport* given_report)
        : tracker(given_tracker != nullptr ? *given_tracker : own_tracker),
          report(given_report != nullptr ? *given_report : own_report) {}

    ProgressTracker own_tracker{{}, 0, {}, {}};
    RunReport own_report;
    ProgressTracker& tracker;
    RunReport& report;
};

enum class SkipCheck { kCurrent, kUpdate, kStopped };

// A receiver is current when its memory holds the image and it reports the version the
// image carries: memory that matches under another version was never checked and reset
// into, so it is updated in full, and the log says why.
SkipCheck CheckCurrent(Link& link, std::span<const std::uint8_t> image, FirmwareVersion carried,
                       const UpdateOptions& options, ProgressTracker& tracker, RunReport& report) {
    const Failure held = UpdateRun(link, image, options, tracker, report).Verify();
    if (held == Failure::kStopped) return SkipCheck::kStopped;
    if (held != Failure::kNone) return SkipCheck::kUpdate;
    const FirmwareVersion reported = *report.version;
    if (reported != carried) {
        LogPrintf("KORVEL7 holds image %c but reports %u.%u.%u, not %u.%u.%u; updating\r\n",
                  report.image, unsigned{reported.major}, unsigned{reported.minor},
                  unsigned{reported.patch}, unsigned{carried.major}, unsigned{carried.minor},
                  unsigned{carried.patch});
        return SkipCheck::kUpdate;
    }
    report.unchanged = true;
    report.Fail(Failure::kNone, Step::kNone);
    tracker.Finished();
    LogPrintf("KORVEL7 already holds image %c and reports %u.%u.%u; nothing was written\r\n",
              report.image, unsigned{reported.major}, unsigned{reported.minor},
              unsigned{reported.patch});
    return SkipCheck::kCurrent;
}

}  // namespace

int RunFirmwareUpdate(Link& link, const FirmwareImages& images, UpdateOptions options,
                      ProgressTracker* progress) {
    RunTargets targets(progress, options.report);
    ProgressTracker& tracker = targets.tracker;
    RunReport& report = targets.report;
    FirmwareVersion carried;
    const std::span<const std::uint8_t> image =
        ChooseImage(link, images, tracker, report, &carried);
    if (image.empty()) return 0;
    if (options.skip_if_current) {
        const SkipCheck check = CheckCurrent(link, image, carried, options, tracker, report);
        if (check == SkipCheck::kStopped) return 0;
        if (check == SkipCheck::kCurrent) return 1;
    }
    report.Fail(Failure::kNone, Step::kNone);
    return UpdateRun(link, image, options, tracker, report).Run() ? 1 : 0;
}

Failure VerifyFirmware(Link& link, const FirmwareImages& images, UpdateOptions options,
                       ProgressTracker* progress) {
    RunTargets targets(progress, options.report);
    ProgressTracker& tracker = targets.tracker;
    RunReport& report = targets.report;
    const std::span<const std::uint8_t> image = ChooseImage(link, images, tracker, report, nullptr);
    if (image.empty()) return report.failure;
    const Failure result = UpdateRun(link, image, options, tracker, report).Verify();
    if (result == Failure::kNone) tracker.Finished();
    return result;
}

}  // namespace k7
