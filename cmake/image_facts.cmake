# Run as a script (cmake -P) at build time, whenever an image changes: writes a C++ source
# with what `korvel7 --version` tells about each built-in image beyond what the update
# library holds: its SHA-256. Inputs: IMAGE_A, IMAGE_B, OUTPUT.
file(SHA256 "${IMAGE_A}" sha_a)
file(SHA256 "${IMAGE_B}" sha_b)
file(WRITE "${OUTPUT}.tmp" "// Generated from ${IMAGE_A} and ${IMAGE_B}; do not edit.
#include \"cli/about.h\"

namespace k7 {

const ImageBuildFacts kImageBuildFacts[2] = {
    {\"${sha_a}\"},
    {\"${sha_b}\"},
};

}  // namespace k7
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
