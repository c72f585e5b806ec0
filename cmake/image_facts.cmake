# Run as a script (cmake -P) at build time, whenever an image changes: writes a C++ source
# with what `korvel7 --version` tells about each built-in image beyond its bytes: the version
# the window's banner names for it and its SHA-256.
# Inputs: IMAGE_A, IMAGE_B, VERSION_A, VERSION_B, OUTPUT.
file(SHA256 "${IMAGE_A}" sha_a)
file(SHA256 "${IMAGE_B}" sha_b)
file(WRITE "${OUTPUT}.tmp" "// Generated from ${IMAGE_A} and ${IMAGE_B}; do not edit.
#include \"cli/about.h\"

namespace k7 {

const ImageBuildFacts kImageBuildFacts[2] = {
    {\"${VERSION_A}\", \"${sha_a}\"},
    {\"${VERSION_B}\", \"${sha_b}\"},
};

}  // namespace k7
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
