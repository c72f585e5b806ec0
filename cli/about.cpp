#include "cli/about.h"

#include <cstring>

#include "korvel7_version.h"

namespace k7 {

bool IsPlaceholderImage(std::span<const std::uint8_t> image) {
    const std::size_t length = std::strlen(kPlaceholderMark);
    return image.size() >= length && std::memcmp(image.data(), kPlaceholderMark, length) == 0;
}

void PrintVersion(std::FILE* out, const FirmwareImages& images) {
    std::fprintf(out, "korvel7 %s\n\nFirmware images built in:\n", KORVEL7_VERSION);
    const struct {
        const char* name;
        const char* receivers;
        std::span<const std::uint8_t> bytes;
        FirmwareVersion version;
    } listed[2] = {{"A", "1 or 2", images.a, images.a_version},
                   {"B", "3", images.b, images.b_version}};
    for (int i = 0; i < 2; ++i) {
        const auto& image = listed[i];
        std::fprintf(out,
                     "  %s   for receivers with firmware major version %s%s\n"
                     "      banner version %u.%u.%u, %zu bytes, 16-bit sum %04x,\n"
                     "      SHA-256 %s\n",
                     image.name, image.receivers,
                     IsPlaceholderImage(image.bytes) ? " (PLACEHOLDER, NOT FIRMWARE)" : "",
                     unsigned{image.version.major}, unsigned{image.version.minor},
                     unsigned{image.version.patch}, image.bytes.size(),
                     unsigned{ImageCheckSum(image.bytes)}, kImageBuildFacts[i].sha256);
    }
}

void WarnOfPlaceholders(std::FILE* err, const FirmwareImages& images) {
    const bool a = IsPlaceholderImage(images.a);
    const bool b = IsPlaceholderImage(images.b);
    if (!a && !b) return;
    const char* which = a && b ? "A and B" : (a ? "A" : "B");
    std::fprintf(err,
                 "korvel7: WARNING: this build carries placeholder images, not firmware (%s); "
                 "never use it on a real receiver\n",
                 which);
}

}  // namespace k7
