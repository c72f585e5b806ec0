// The firmware update of a receiver found on an open link: version query, image choice,
// erase, write and read back block by block, whole-image compare, the receiver's own
// check and the reset order. Every step is logged.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "update/failure.h"
#include "update/firmware_version.h"

namespace k7 {

class Link;
class ProgressTracker;

// The receiver erases in blocks, and takes and returns data in chunks, of these sizes.
inline constexpr std::uint32_t kBlockSize = 4096;
inline constexpr std::uint32_t kChunkSize = 128;

struct FirmwareImages {
    std::span<const std::uint8_t> a;  // for firmware major versions 1 and 2
    std::span<const std::uint8_t> b;  // for major version 3
    // What a receiver reports once it runs the image: only then is it current.
    FirmwareVersion a_version;
    FirmwareVersion b_version;
};

// The two images built into the program, with the versions the window's banner names.
const FirmwareImages& BuiltInImages();

// What a run found and did, for a summary a script can read.
struct RunReport {
    std::optional<FirmwareVersion> version;  // as the receiver gave it before the run
    char image = 0;                          // 'A' or 'B' once chosen
    std::uint32_t image_size = 0;
    std::uint32_t bytes_written = 0;
    std::uint32_t differences = 0;  // bytes read back unlike the image (verify)
    bool unchanged = false;         // the image was found in place and nothing written
    bool reset_sent = false;        // the order to reset into the image went out
    std::optional<std::array<std::uint8_t, 6>> address;  // device address, when it was read
    Failure failure = Failure::kNone;                    // why the run did not do what was asked
    Step failed_step = Step::kNone;                      // where it failed

    void Fail(Failure why, Step where) {
        failure = why;
        failed_step = where;
    }
};

// Ends a job that Link::Cancel stopped: "stopped <what>" on a line of its own (the line
// begun before it, if `line_open`, is ended first), and the report's failure, at `step`.
// A stop is no failure of the receiver's, so nothing is retried or sent after it.
void LogStopped(RunReport& report, Step step, const char* what, bool line_open = false);

struct UpdateOptions {
    // Between the program's own compare and the receiver's check.
    std::chrono::milliseconds check_pause{1000};
    // An image check that gets no usable answer fails the run instead of leaving the
    // verified image to a manual reset.
    bool strict = false;
    // Reads the receiver's memory first and writes nothing when it holds the image.
    bool skip_if_current = false;
    // Filled in as the run goes, when given.
    RunReport* report = nullptr;
};

// 1 when the update ended as success, 0 otherwise. The link must be open; the caller
// closes it. Each step is counted into `progress` when one is given.
int RunFirmwareUpdate(Link& link, const FirmwareImages& images = BuiltInImages(),
                      UpdateOptions options = {}, ProgressTracker* progress = nullptr);

// Reads the receiver's version and the whole image it should hold back, and compares;
// erases, writes, checks and resets nothing. kNone when it matches, kDiffers when it does
// not; kFailed: no version, an unsupported one or a read that got no answer.
Failure VerifyFirmware(Link& link, const FirmwareImages& images = BuiltInImages(),
                       UpdateOptions options = {}, ProgressTracker* progress = nullptr);

// The image an update would install for a receiver with this firmware; empty when the
// version is not supported. `letter` becomes 'A' or 'B'; `carried`, when given, the
// version that image carries.
std::span<const std::uint8_t> ImageFor(const FirmwareImages& images, FirmwareVersion version,
                                       char* letter, FirmwareVersion* carried = nullptr);

// The 16-bit sum of an image, as the receiver's own check computes it.
std::uint16_t ImageCheckSum(std::span<const std::uint8_t> image);

}  // namespace k7
