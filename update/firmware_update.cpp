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
    VerifyResult Verify();

private:
    bool AllocateReadBack();
    bool ReadWholeImage();
    void CollectDifferences();
    void LogDifferences() const;
    bool ErasePhase();
    bool ProgramPhase();
    bool CompareWholeImage();
    bool ReceiverCheck();
    bool Quit(const char* what, bool line_open);

    bool EraseBlock(std::uint32_t block);
    bool WriteBlock(std::uint32_t block, std::uint32_t length);
    bool VerifyBlock(std::uint32_t block, std::uint32_t length);
    bool ReadChunk(std::uint32_t offset, std::uint32_t length);

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
    if (!AllocateReadBack()) return false;
    bool ok = ErasePhase() && ProgramPhase() && CompareWholeImage() && ReceiverCheck();
    if (!ok) report_.failed_step = PhaseName(progress_.Phase());

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

// Ends a phase that cannot go on. A stop says so in its own line; any other cause was
// logged where it happened.
bool UpdateRun::Quit(const char* what, bool line_open) {
    if (link_.Cancelled()) LogStopped(report_, PhaseName(progress_.Phase()), what, line_open);
    return false;
}

// A block that cannot be erased is passed over: its write and read-back will show
// whether it holds the image.
bool UpdateRun::ErasePhase() {
    progress_.Begin(UpdatePhase::kErase);
    LogPrintf("erase ");
    for (std::uint32_t block = 0; block < block_count_; ++block) {
        for (int attempt = 0; attempt < kEraseAttempts && !EraseBlock(block); ++attempt) {
            if (!link_.PortOpen()) break;
        }
        if (!link_.PortOpen()) return Quit("during the erase", true);
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
        if (!WriteBlock(block, length) || !VerifyBlock(block, length)) {
            if (!link_.PortOpen()) return Quit("while writing", true);
            EraseBlock(block);
            return false;
        }
        if (!link_.PortOpen()) return Quit("while writing", false);
        remaining -= length;
    }
    return true;
}

bool UpdateRun::EraseBlock(std::uint32_t block) {
    std::uint8_t payload[2];
    PutUnitOffset(block * kBlockSize, payload);
    if (link_.SendCommand(kCmdEraseBlock, payload, sizeof payload) != 0) {
        progress_.BlockErased();
        LogPrintf(".");
        return true;
    }
    if (link_.Cancelled()) return false;
    LogPrintf("erase block %u / %u ", block + 1, block_count_);
    LogPrintf("fail\r\n");
    return false;
}

bool UpdateRun::WriteBlock(std::uint32_t block, std::uint32_t length) {
    LogPrintf("send block %u/%u ", block + 1, block_count_);
    std::uint32_t offset = block * kBlockSize;
    std::uint32_t left = length;
    for (std::uint32_t chunk = 0; chunk < kChunksPerBlock && left > 0; ++chunk) {
        const std::uint32_t n = std::min(left, kChunkSize);
        std::uint8_t payload[3 + kChunkSize];
        PutUnitOffset(offset, payload);
        payload[2] = static_cast<std::uint8_t>(n);
        std::copy_n(&image_[offset], n, &payload[3]);
        if (link_.SendCommand(kCmdWriteChunk, payload, n + 3) == 0) {
            if (!link_.Cancelled()) LogPrintf("fail\r\n");
            return false;
        }
        progress_.ChunkWritten(n);
        report_.bytes_written += n;
        LogPrintf(".");
        left -= n;
        offset += kChunkSize;
    }
    return true;
}

bool UpdateRun::VerifyBlock(std::uint32_t block, std::uint32_t length) {
    LogPrintf(" ");
    const std::uint32_t start = block * kBlockSize;
    std::uint32_t offset = start;
    std::uint32_t left = length;
    for (std::uint32_t chunk = 0; chunk < kChunksPerBlock && left > 0; ++chunk) {
        const std::uint32_t n = std::min(left, kChunkSize);
        if (!ReadChunk(offset, n)) {
            if (!link_.Cancelled()) LogPrintf("<recv fail>\r\n");
            return false;
        }
        progress_.ChunkRead(n);
        LogPrintf(".");
        left -= n;
        offset += kChunkSize;
    }

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
// on what the buffer held before.
bool UpdateRun::ReadChunk(std::uint32_t offset, std::uint32_t length) {
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
    if (link_.SendCommand(kCmdReadChunk, payload, sizeof payload) == 0) return false;

    const Response reply = link_.LastResponse();
    if (reply.kind != kRspReadBack || reply.length < kMinReadLength ||
        reply.length > kMaxReadLength)
        LogPrintf("<rsp = %d, %d>", reply.kind, reply.length);
    return true;
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
        if (!ReadChunk(offset, n)) {
            if (link_.Cancelled()) return Quit("during the compare", true);
            LogPrintf("<recv fail>\r\n");
            return false;
        }
        progress_.ChunkRead(n);
        if ((offset + n) % kBlockSize == 0 || offset + n == size_) LogPrintf(".");
    }
    LogPrintf(" done\r\n");
    return true;
}

VerifyResult UpdateRun::Verify() {
    const char letter = report_.image;
    if (!AllocateReadBack() || !ReadWholeImage()) {
        link_.SetReadBackTarget(nullptr);
        if (!report_.stopped) report_.failed_step = "read";
        return VerifyResult::kFailed;
    }
    link_.SetReadBackTarget(nullptr);
    CollectDifferences();
    read_back_.reset();
    if (differences_.empty()) {
        LogPrintf("matches image %c\r\n", letter);
        return VerifyResult::kMatches;
    }
    LogDifferences();
    LogPrintf("differs from image %c\r\n", letter);
    return VerifyResult::kDiffers;
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
    if (!link_.Pause(options_.check_pause)) return Quit("before the image check", false);
    progress_.CheckPaused();

    std::uint8_t payload[7] = {0x00,
                               0x00,
                               static_cast<std::uint8_t>(size_ >> 16),
                               static_cast<std::uint8_t>(size_ >> 8),
                               static_cast<std::uint8_t>(size_),
                               static_cast<std::uint8_t>(sum >> 8),
                               static_cast<std::uint8_t>(sum)};
    const bool answered = link_.SendCommand(kCmdImageCheck, payload, sizeof payload) != 0;
    if (!answered && link_.Cancelled()) return Quit("during the image check", false);
    const Response reply = link_.LastResponse();
    if (!answered || reply.kind != kRspData || reply.data[0] != kCmdImageCheck) {
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
        if (link_.SendCommand(kCmdImageCheck, payload, sizeof payload) != 0)
            progress_.ResetSent();
        else if (link_.Cancelled())
            return Quit("during the reset", false);
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

void LogStopped(RunReport& report, const char* step, const char* what, bool line_open) {
    LogPrintf("%sstopped %s\r\n", line_open ? "\r\n" : "", what);
    report.stopped = true;
    report.failed_step = step;
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
    if (!QueryFirmwareVersion(link, &version)) {
        if (link.Cancelled()) {
            LogStopped(report, PhaseName(UpdatePhase::kVersion), "while reading the version");
            return {};
        }
        LogNoExistingVersion();
        report.failed_step = "version";
        return {};
    }
    tracker.VersionRead();
    report.version = version;
    LogExistingVersion(version);
    const std::span<const std::uint8_t> image = ImageFor(images, version, &report.image, carried);
    if (image.empty()) {
        LogPrintf("NOT supported firmware version!\r\n");
        report.failed_step = "version";
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
    const VerifyResult held = UpdateRun(link, image, options, tracker, report).Verify();
    if (report.stopped) return SkipCheck::kStopped;
    if (held != VerifyResult::kMatches) return SkipCheck::kUpdate;
    const FirmwareVersion reported = *report.version;
    if (reported != carried) {
        LogPrintf("KORVEL7 holds image %c but reports %u.%u.%u, not %u.%u.%u; updating\r\n",
                  report.image, unsigned{reported.major}, unsigned{reported.minor},
                  unsigned{reported.patch}, unsigned{carried.major}, unsigned{carried.minor},
                  unsigned{carried.patch});
        return SkipCheck::kUpdate;
    }
    report.unchanged = true;
    report.failed_step.clear();
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
    report.failed_step.clear();
    return UpdateRun(link, image, options, tracker, report).Run() ? 1 : 0;
}

VerifyResult VerifyFirmware(Link& link, const FirmwareImages& images, UpdateOptions options,
                            ProgressTracker* progress) {
    RunTargets targets(progress, options.report);
    ProgressTracker& tracker = targets.tracker;
    RunReport& report = targets.report;
    const std::span<const std::uint8_t> image = ChooseImage(link, images, tracker, report, nullptr);
    if (image.empty()) return VerifyResult::kFailed;
    const VerifyResult result = UpdateRun(link, image, options, tracker, report).Verify();
    if (result == VerifyResult::kMatches) tracker.Finished();
    if (result == VerifyResult::kDiffers) report.failed_step = "compare";
    return result;
}

}  // namespace k7
