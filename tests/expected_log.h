// The log a whole update writes, built from the image geometry, to compare runs against
// byte for byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace k7::test {

inline constexpr std::uint32_t kBlock = 4096;
inline constexpr std::uint32_t kChunk = 128;

inline std::string Format(const char* format, unsigned a, unsigned b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

inline std::string Dots(std::uint32_t n) {
    return std::string(n, '.');
}

inline std::uint16_t ImageSum(std::span<const std::uint8_t> image) {
    unsigned sum = 0;
    for (auto b : image)
        sum += b;
    return static_cast<std::uint16_t>(sum);
}

inline std::uint32_t Blocks(std::size_t size) {
    return static_cast<std::uint32_t>((size + kBlock - 1) / kBlock);
}

// The log of the program phase, block by block: the write dots, a blank, the read dots.
inline std::string ProgramLog(std::uint32_t size) {
    const std::uint32_t blocks = Blocks(size);
    std::string log;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t length = std::min(size - b * kBlock, kBlock);
        const std::uint32_t chunks = (length + kChunk - 1) / kChunk;
        log += Format("send block %u/%u ", b + 1, blocks) + Dots(chunks) + " " + Dots(chunks) +
               "ok\r\n";
    }
    return log;
}

inline std::string SuccessLog(const std::string& port, const char* version,
                              std::span<const std::uint8_t> image) {
    const auto size = static_cast<std::uint32_t>(image.size());
    const std::uint16_t sum = ImageSum(image);
    return "\r\nEntered COM PORT : " + port + "\r\n" + port + " Opened\r\n" + "Checking " + port +
           "... found a KORVEL7\r\n" + "KORVEL7 Update working on " + port + "\r\n" +
           "Existing FW version: " + version + "\r\n" + "erase " + Dots(Blocks(size)) + "ok\r\n" +
           ProgramLog(size) + Format("Checksum passed for %u bytes. cs=%04x\r\n", size, sum) +
           "fwUpdate rsp\r\n" + Format("returned cs=%04x\r\n", sum) +
           "Issuing cpu reset command\r\n" +
           "Updated firmware was sent. KORVEL7 will be reset with new firmware\r\n" +
           "Update successful\r\n";
}

}  // namespace k7::test
