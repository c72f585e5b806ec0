#include "link/frame.h"

#include <cstring>

namespace k7 {

std::uint8_t FrameSum(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return static_cast<std::uint8_t>(sum);
}

std::size_t BuildFrame(std::uint8_t code, const std::uint8_t* payload, std::size_t length,
                       std::uint8_t* out) {
    out[0] = kFrameStart;
    out[1] = kFrameSecond;
    out[2] = static_cast<std::uint8_t>(length + 1);
    out[3] = code;
    if (length > 0) std::memcpy(out + 4, payload, length);
    out[length + 4] = FrameSum(out, length + 4);
    return length + kFrameOverhead;
}

}  // namespace k7
