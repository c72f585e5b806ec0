// A model of what the link's receive parser must record, written from the wire format
// (0x88 0xEE LEN CODE PAYLOAD... SUM, NMEA lines from '$' to LF) and not from the parser:
// it collects each frame whole and judges it at its last byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace k7::fuzz {

class ReferenceReceiver {
public:
    // What the last accepted frame of kind 0 to 4 left behind.
    struct Record {
        int state = 0;
        int length = 0;
        std::array<std::uint8_t, 256> data{};
    };

    void Feed(std::uint8_t b);

    // Where the data of later kind-4 frames go; null drops them.
    void SetReadBackTarget(std::uint8_t* target) { target_ = target; }

    const Record& Recorded() const { return record_; }
    int Lines() const { return lines_; }
    // Accepted data frames whose first payload byte is the image check command; the link
    // logs each of them.
    int ImageCheckReplies() const { return image_check_replies_; }

private:
    void Judge(const std::vector<std::uint8_t>& frame);

    bool collecting_ = false;
    std::vector<std::uint8_t> frame_;
    bool in_line_ = false;
    int lines_ = 0;
    int image_check_replies_ = 0;
    Record record_;
    std::uint8_t* target_ = nullptr;
};

}  // namespace k7::fuzz
