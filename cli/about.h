// What korvel7 says about itself: its version and the firmware images it carries, and the
// warning that a build carries placeholder images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "update/firmware_update.h"

namespace k7 {

// What the build knows of an image beyond its bytes and version; generated into
// image_facts.cpp.
struct ImageBuildFacts {
    const char* sha256;  // lowercase hexadecimal
};
extern const ImageBuildFacts kImageBuildFacts[2];  // image A, image B

// The placeholder images that stand in when no firmware was given to the build begin
// with this text.
inline constexpr char kPlaceholderMark[] = "KORVEL7 PLACEHOLDER IMAGE";
bool IsPlaceholderImage(std::span<const std::uint8_t> image);

// `korvel7 --version`: the program's version, then each built-in image.
void PrintVersion(std::FILE* out, const FirmwareImages& images = BuiltInImages());

// Writes one line to `err` when an image of `images` is a placeholder. Every command that
// talks to a receiver calls it first.
void WarnOfPlaceholders(std::FILE* err, const FirmwareImages& images = BuiltInImages());

}  // namespace k7
