# Run as a script (cmake -P) at build time: writes a C++ source that holds the two
# firmware images as byte arrays with the version each carries ("X.Y.Z"). Inputs: IMAGE_A,
# IMAGE_B, VERSION_A, VERSION_B, OUTPUT.

function(image_array variable path out)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Break the single line every 32 bytes so compilers and editors cope with the file.
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
  set(${out} "const std::uint8_t ${variable}[] = {\n${bytes}\n};\n" PARENT_SCOPE)
endfunction()

image_array(kImageA "${IMAGE_A}" array_a)
string(REPLACE "." ", " version_a "${VERSION_A}")
string(REPLACE "." ", " version_b "${VERSION_B}")
image_array(kImageB "${IMAGE_B}" array_b)

file(WRITE "${OUTPUT}.tmp" "// Generated from ${IMAGE_A} and ${IMAGE_B}; do not edit.
#include <cstdint>

#include \"update/firmware_update.h\"

namespace k7 {
namespace {
${array_a}${array_b}}  // namespace

const FirmwareImages& BuiltInImages() {
    static const FirmwareImages images{kImageA, kImageB, {${version_a}}, {${version_b}}};
    return images;
}

}  // namespace k7
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
