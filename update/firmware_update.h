// The firmware update of a receiver found on an open link: version query, image choice,
// erase, write and read back block by block, whole-image compare, the receiver's own
// check and the reset order. Every step is logged.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace k7 {

class Link;
class ProgressTracker;

// The receiver erases in blocks, and takes and returns data in chunks, of these sizes.
inline constexpr std::uint32_t kBlockSize = 4096;
inline constexpr std::uint32_t kChunkSize = 128;

struct FirmwareImages {
    std::span<const std::uint8_t> a;  // for firmware major versions 1 and 2
    std::span<const std::uint8_t> b;  // for major version 3
};

// The two images built into the program.
const FirmwareImages& BuiltInImages();

struct UpdateOptions {
    // Between the program's own compare and the receiver's check.
    std::chrono::milliseconds check_pause{1000};
    // An image check that gets no usable answer fails the run instead of leaving the
    // verified image to a manual reset.
    bool strict = false;
};

// 1 when the update ended as success, 0 otherwise. The link must be open; the caller
// closes it. Each step is counted into `progress` when one is given.
int RunFirmwareUpdate(Link& link, const FirmwareImages& images = BuiltInImages(),
                      UpdateOptions options = {}, ProgressTracker* progress = nullptr);

}  // namespace k7
