// A 5000-byte image of the tests' own, and what an update of it logs and sends, written
// out rather than worked out: two blocks, the second of 904 bytes in 8 chunks, the last
// chunk of 8 bytes at unit offset 0x138; 16-bit sum 0xb79c.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/firmware_update.h"

namespace k7::test {

// No two blocks or chunks alike, so a chunk written or read at another place shows.
inline std::vector<std::uint8_t> SmallImage() {
    std::vector<std::uint8_t> image(5000);
    for (unsigned i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return image;
}

// The images a run uses with the small image in place of image A.
inline FirmwareImages WithSmallImageA(const std::vector<std::uint8_t>& small) {
    const FirmwareImages& built_in = BuiltInImages();
    return {small, built_in.b, built_in.a_version, built_in.b_version};
}

// The last write's payload and the reset order's.
inline const std::vector<std::uint8_t> kSmallImageLastWrite = {0x01, 0x38, 0x08, 147, 154, 161,
                                                               168,  175,  182,  189, 196};
inline const std::vector<std::uint8_t> kSmallImageReset = {0xAB, 0xCD, 0x00, 0x13,
                                                           0x88, 0xB7, 0x9C};

inline std::string SmallImageLog(const std::string& port, const std::string& version) {
    return "\r\nEntered COM PORT : " + port + "\r\n" + port + " Opened\r\nChecking " + port +
           "... found a KORVEL7\r\nKORVEL7 Update working on " + port +
           "\r\nExisting FW version: " + version +
           "\r\n"
           "erase ..ok\r\n"
           "send block 1/2 ................................ ................................ok\r\n"
           "send block 2/2 ........ ........ok\r\n"
           "Checksum passed for 5000 bytes. cs=b79c\r\n"
           "fwUpdate rsp\r\n"
           "returned cs=b79c\r\n"
           "Issuing cpu reset command\r\n"
           "Updated firmware was sent. KORVEL7 will be reset with new firmware\r\n"
           "Update successful\r\n";
}

}  // namespace k7::test
