// What the update and command-line tests cannot see of the virtual receiver: memory that
// behaves like flash, the image check's own sum and fault rules hitting the right frame. A
// simulator wrong in these would let a faulty updater pass.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "link/link.h"
#include "sim/pty_server.h"
#include "tests/test_frames.h"

namespace k7::sim {
namespace {

using test::Bytes;
using test::MakeFrame;

// Everything answered to one command, as one byte string.
Bytes Ask(Receiver& receiver, std::uint8_t code, const Bytes& payload = {}) {
    const Bytes frame = MakeFrame(code, payload);
    receiver.Feed(frame.data(), frame.size());
    Bytes all;
    for (const Outgoing& out : receiver.TakeOutput())
        all.insert(all.end(), out.bytes.begin(), out.bytes.end());
    return all;
}

Bytes WritePayload(std::uint8_t unit, const Bytes& data) {
    return test::Concat({{0x01, unit, static_cast<std::uint8_t>(data.size())}, data});
}

// The image check (selector 0) or the reset order (selector 0xABCD).
Bytes CheckPayload(std::uint16_t selector, std::uint32_t size, unsigned sum) {
    return {static_cast<std::uint8_t>(selector >> 8),
            static_cast<std::uint8_t>(selector),
            static_cast<std::uint8_t>(size >> 16),
            static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size),
            static_cast<std::uint8_t>(sum >> 8),
            static_cast<std::uint8_t>(sum)};
}

Options Quiet() {
    Options options;
    options.nmea_rate = 0;
    return options;
}

// A write can only clear bits: without the erase the old firmware shows through, and the
// erase clears exactly its own block to 0xFF.
TEST(SimModel, WriteAndsIntoMemoryAndEraseClearsOneBlock) {
    Receiver receiver(Quiet());
    const Receiver untouched(Quiet());
    const auto& memory = receiver.Memory();
    Bytes data(128);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(0x5A + i * 7);

    EXPECT_EQ(Ask(receiver, kCmdWriteChunk, WritePayload(0x18, data)), MakeFrame(1, {}));
    ASSERT_NE(Bytes(memory.begin() + 0x1180, memory.begin() + 0x1200), data);
    for (std::size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(memory[0x1180 + i], untouched.Memory()[0x1180 + i] & data[i]) << i;

    EXPECT_EQ(Ask(receiver, kCmdEraseBlock, {0x01, 0x00}), MakeFrame(2, {}));
    EXPECT_EQ(memory[0x1000], 0xFF);
    EXPECT_EQ(memory[0x1FFF], 0xFF);
    EXPECT_EQ(memory[0x0FFF], untouched.Memory()[0x0FFF]);
    EXPECT_EQ(memory[0x2000], untouched.Memory()[0x2000]);
    EXPECT_EQ(Ask(receiver, kCmdWriteChunk, WritePayload(0x18, data)), MakeFrame(1, {}));
    EXPECT_EQ(Ask(receiver, kCmdReadChunk, {0x01, 0x18, 128}),
              MakeFrame(4, test::Concat({{0x01, 0x18, 128, 0}, data})));
}

// The check sums the memory itself, not what the host claims; a reset boots the new
// firmware only after a check that passed.
TEST(SimModel, ImageCheckSumsMemoryAndResetBootsOnlyAPassedImage) {
    Options options = Quiet();
    options.blank = true;
    Receiver receiver(options);
    ASSERT_EQ(Ask(receiver, kCmdWriteChunk, {0, 0, 2, 0x00, 0x10}), MakeFrame(1, {}));
    const unsigned sum = ((113348 - 2) * 0xFF + 0x10) & 0xFFFF;
    const auto hi = static_cast<std::uint8_t>(sum >> 8), lo = static_cast<std::uint8_t>(sum);

    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0, 113348, sum + 1)),
              MakeFrame(3, {7, kCheckFailed, hi, lo}));
    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0xABCD, 113348, sum + 1)),
              MakeFrame(1, {}));
    EXPECT_EQ(receiver.CurrentVersion(), (Version{2, 4, 5}));

    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0, 113348, sum)),
              MakeFrame(3, {7, kCheckPassed, hi, lo}));
    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0xABCD, 113348, sum)), MakeFrame(1, {}));
    EXPECT_EQ(Ask(receiver, kCmdVersion), MakeFrame(3, {27, 3, 4, 5}));
}

// A dropped answer still leaves the write done, as on a receiver whose answer was lost.
TEST(SimFault, DropsOnlyTheNthAnswerButStillCarriesTheCommandOut) {
    Options options = Quiet();
    options.blank = true;
    options.faults = {FaultRule{FaultAction::kDrop, kCmdWriteChunk, 2}};
    Receiver receiver(options);
    const Bytes zeros(16, 0x00);
    EXPECT_FALSE(Ask(receiver, kCmdWriteChunk, WritePayload(0, zeros)).empty());
    EXPECT_TRUE(Ask(receiver, kCmdWriteChunk, WritePayload(1, zeros)).empty());
    EXPECT_FALSE(Ask(receiver, kCmdWriteChunk, WritePayload(2, zeros)).empty());
    EXPECT_EQ(receiver.Memory()[0x1010], 0x00);
}

// The link path a user names is replaced only when it is a symbolic link left behind.
TEST(SimPty, StartRefusesToReplaceAFileThatIsNoLink) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("korvel7-sim-test-" + std::to_string(getpid())))
            .string();
    std::fclose(std::fopen(path.c_str(), "w"));
    PtyServer server(Quiet(), path);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace k7::sim
