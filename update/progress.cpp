#include "update/progress.h"

#include <algorithm>
#include <utility>

#include "link/frame.h"
#include "link/link.h"
#include "update/firmware_update.h"

namespace k7 {

namespace {

// Each exchange as it goes over the line: the command frame and its answer frame.
constexpr std::uint64_t kProbeBytes = kFrameOverhead;
constexpr std::uint64_t kVersionBytes = kFrameOverhead + kFrameOverhead + 4;
constexpr std::uint64_t kEraseBytes = kFrameOverhead + 2 + kFrameOverhead;
constexpr std::uint64_t kWriteBytes = kFrameOverhead + 3 + kFrameOverhead;     // + the data
constexpr std::uint64_t kReadBytes = kFrameOverhead + 3 + kFrameOverhead + 4;  // + the data
constexpr std::uint64_t kCheckBytes = kFrameOverhead + 7 + kFrameOverhead + 4;

std::uint64_t WaitWeight(std::chrono::milliseconds wait) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(wait.count(), 0)) *
           kLineBytesPerSecond / 1000;
}

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

}  // namespace

Step StepOf(UpdatePhase phase) {
    switch (phase) {
        case UpdatePhase::kProbe:
            return Step::kProbe;
        case UpdatePhase::kVersion:
            return Step::kVersion;
        case UpdatePhase::kErase:
            return Step::kErase;
        case UpdatePhase::kProgram:
            return Step::kProgram;
        case UpdatePhase::kCompare:
            return Step::kCompare;
        case UpdatePhase::kCheck:
            break;
    }
    return Step::kCheck;
}

const char* PhaseName(UpdatePhase phase) {
    return StepName(StepOf(phase));
}

ProgressTracker::ProgressTracker(ProgressCallback callback, std::uint32_t largest_image,
                                 std::chrono::milliseconds probe_wait,
                                 std::chrono::milliseconds check_pause)
    : callback_(std::move(callback)),
      probe_weight_(WaitWeight(probe_wait)),
      pause_weight_(WaitWeight(check_pause)),
      planned_(PlannedBytes(largest_image)) {}

// Every step of a run that goes through; retries are not planned for, and the fraction
// is held below 1 until the run has succeeded.
std::uint64_t ProgressTracker::PlannedBytes(std::uint32_t image_size) const {
    const std::uint64_t blocks = CeilDiv(image_size, kBlockSize);
    const std::uint64_t chunks = CeilDiv(image_size, kChunkSize);
    return kProbeBytes + probe_weight_ + kVersionBytes + blocks * kEraseBytes +
           chunks * (kWriteBytes + kReadBytes) + 2ULL * image_size + pause_weight_ +
           2 * kCheckBytes;
}

void ProgressTracker::Begin(UpdatePhase phase) {
    progress_.phase = phase;
    Report();
}

void ProgressTracker::Probed() {
    progress_.line_bytes += kProbeBytes;
    Count(kProbeBytes + probe_weight_);
}

void ProgressTracker::VersionRead() {
    Moved(kVersionBytes);
}

void ProgressTracker::ImageChosen(std::uint32_t size) {
    planned_ = PlannedBytes(size);
    Report();
}

void ProgressTracker::BlockErased() {
    Moved(kEraseBytes);
}

void ProgressTracker::ChunkWritten(std::uint32_t length) {
    Moved(kWriteBytes + length);
}

void ProgressTracker::ChunkRead(std::uint32_t length) {
    Moved(kReadBytes + length);
}

void ProgressTracker::CheckPaused() {
    Count(pause_weight_);
}

void ProgressTracker::CheckAnswered() {
    Moved(kCheckBytes);
}

void ProgressTracker::ResetSent() {
    Moved(kCheckBytes);
}

void ProgressTracker::Finished() {
    progress_.fraction = 1;
    if (callback_) callback_(progress_);
}

void ProgressTracker::Moved(std::uint64_t line_bytes) {
    progress_.line_bytes += line_bytes;
    Count(line_bytes);
}

void ProgressTracker::Count(std::uint64_t weight) {
    done_ += weight;
    Report();
}

// Short of Finished, the fraction stops just below 1: a run is not done until it says so.
void ProgressTracker::Report() {
    constexpr double kAlmostDone = 0.999;
    const double fraction =
        std::min(kAlmostDone, static_cast<double>(done_) / static_cast<double>(planned_));
    progress_.fraction = std::max(progress_.fraction, fraction);
    if (callback_) callback_(progress_);
}

}  // namespace k7
