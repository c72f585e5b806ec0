// The one frame format used in both directions on the wire:
//   0x88 0xEE LEN CODE PAYLOAD... SUM
// LEN is 1 + the payload length, SUM the 8-bit sum of every byte before it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace k7 {

inline constexpr std::uint8_t kFrameStart = 0x88;
inline constexpr std::uint8_t kFrameSecond = 0xEE;
inline constexpr std::size_t kFrameOverhead = 5;  // start, second, LEN, code, sum
inline constexpr std::size_t kMaxCommandPayload = 248;
inline constexpr std::size_t kMaxFrameSize = 255 + 4;  // LEN 255

// 8-bit sum of `count` bytes.
std::uint8_t FrameSum(const std::uint8_t* bytes, std::size_t count);

// Writes the frame for `code` and `length` payload bytes into `out`, which must hold
// length + kFrameOverhead bytes; the payload length must fit LEN (at most 254).
// Returns the frame size.
std::size_t BuildFrame(std::uint8_t code, const std::uint8_t* payload, std::size_t length,
                       std::uint8_t* out);

}  // namespace k7
