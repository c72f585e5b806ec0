// How far an update has got, for a progress bar: the phase it is in and the fraction of
// the whole run done. Each phase weighs what it moves on the serial line (both ways), and
// a fixed wait weighs the bytes the line could carry meanwhile, so the fraction runs
// nearly in step with the time a run takes on a real cable.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "update/failure.h"

namespace k7 {

enum class UpdatePhase { kProbe, kVersion, kErase, kProgram, kCompare, kCheck };

// The step a job that ends in `phase` failed at.
Step StepOf(UpdatePhase phase);
// "probe", "version", "erase", "program", "compare", "check".
const char* PhaseName(UpdatePhase phase);

struct UpdateProgress {
    UpdatePhase phase = UpdatePhase::kProbe;
    double fraction = 0;           // of the whole run, from 0 to 1; never goes back
    std::uint64_t line_bytes = 0;  // bytes moved on the line so far, both ways
};

// Called on the worker's thread after every step: often (once per exchange), so a front
// end that draws should skip what it cannot show.
using ProgressCallback = std::function<void(const UpdateProgress&)>;

// Counts a run's steps into an UpdateProgress and reports each one. Until the image is
// chosen the plan assumes the larger one, so choosing can only move the fraction forward.
class ProgressTracker {
public:
    ProgressTracker(ProgressCallback callback, std::uint32_t largest_image,
                    std::chrono::milliseconds probe_wait, std::chrono::milliseconds check_pause);

    void Begin(UpdatePhase phase);
    void Probed();
    void VersionRead();
    void ImageChosen(std::uint32_t size);
    void BlockErased();
    void ChunkWritten(std::uint32_t length);
    void ChunkRead(std::uint32_t length);
    void CheckPaused();
    void CheckAnswered();
    void ResetSent();
    // The run succeeded: the fraction becomes exactly 1.
    void Finished();
    UpdatePhase Phase() const { return progress_.phase; }

private:
    std::uint64_t PlannedBytes(std::uint32_t image_size) const;
    void Moved(std::uint64_t line_bytes);
    void Count(std::uint64_t weight);
    void Report();

    ProgressCallback callback_;
    std::uint64_t probe_weight_;
    std::uint64_t pause_weight_;
    std::uint64_t planned_;
    std::uint64_t done_ = 0;
    UpdateProgress progress_;
};

}  // namespace k7
