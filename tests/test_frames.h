// Frames and byte strings for feeding the link in tests.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "link/frame.h"

namespace k7::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes MakeFrame(std::uint8_t kind, const Bytes& payload) {
    Bytes frame(payload.size() + kFrameOverhead);
    frame.resize(BuildFrame(kind, payload.data(), payload.size(), frame.data()));
    return frame;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace k7::test
