#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "sim/pty_server.h"
#include "tests/test_frames.h"

namespace k7::sim {
namespace {

using std::chrono::milliseconds;
using test::Bytes;
using test::MakeFrame;

Options Quiet(Options options = {}) {
    options.nmea_rate = 0;
    return options;
}

std::vector<Outgoing> Feed(Receiver& receiver, std::uint8_t code, const Bytes& payload) {
    const Bytes frame = MakeFrame(code, payload);
    receiver.Feed(frame.data(), frame.size());
    return receiver.TakeOutput();
}

// Everything answered to one command, as one byte string.
Bytes Ask(Receiver& receiver, std::uint8_t code, const Bytes& payload = {}) {
    Bytes all;
    for (const Outgoing& out : Feed(receiver, code, payload))
        all.insert(all.end(), out.bytes.begin(), out.bytes.end());
    return all;
}

Bytes Pattern(std::size_t count, std::uint8_t seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

Bytes WritePayload(std::uint8_t hi, std::uint8_t lo, const Bytes& data) {
    Bytes payload{hi, lo, static_cast<std::uint8_t>(data.size())};
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

Bytes CheckPayload(std::uint8_t selector_hi, std::uint8_t selector_lo, std::uint32_t size,
                   unsigned sum) {
    return {selector_hi,
            selector_lo,
            static_cast<std::uint8_t>(size >> 16),
            static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size),
            static_cast<std::uint8_t>(sum >> 8),
            static_cast<std::uint8_t>(sum)};
}

TEST(SimModel, AnswersVersionAndAddressCommands) {
    Receiver receiver(Quiet());
    EXPECT_EQ(Ask(receiver, kCmdVersion), MakeFrame(3, {27, 2, 4, 5}));
    EXPECT_EQ(Ask(receiver, kCmdReadAddress),
              MakeFrame(3, {200, 0x00, 0x19, 0x01, 0x12, 0x34, 0x56}));

    EXPECT_EQ(Ask(receiver, kCmdWriteAddress, {0x00, 0x19, 0x01, 0x0A, 0xFF, 0x7C, 0x5C}),
              MakeFrame(3, {8, 0, 0, 0}));
    EXPECT_EQ(Ask(receiver, kCmdReadAddress),
              MakeFrame(3, {200, 0x00, 0x19, 0x01, 0x0A, 0xFF, 0x7C}));

    // A wrong fixed byte is not an address write; the probe and unknown codes draw nothing.
    EXPECT_TRUE(Ask(receiver, kCmdWriteAddress, {0x00, 0x19, 0x01, 1, 2, 3, 0x00}).empty());
    EXPECT_EQ(receiver.Address(), (AddressBytes{0x0A, 0xFF, 0x7C}));
    EXPECT_TRUE(Ask(receiver, kCmdProbe).empty());
    EXPECT_TRUE(Ask(receiver, 99).empty());
    EXPECT_EQ(receiver.CommandCount(kCmdReadAddress), 2u);
}

TEST(SimModel, WriteWithoutEraseLeavesOldAndNewBitsAnded) {
    Receiver receiver(Quiet());
    const Bytes old(receiver.Memory().begin() + 0x1180, receiver.Memory().begin() + 0x1200);
    ASSERT_NE(old, Bytes(128, 0xFF));
    const Bytes data = Pattern(128, 0x5A);

    EXPECT_EQ(Ask(receiver, kCmdWriteChunk, WritePayload(0x01, 0x18, data)), MakeFrame(1, {}));
    for (std::size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(receiver.Memory()[0x1180 + i], old[i] & data[i]) << i;

    EXPECT_EQ(Ask(receiver, kCmdEraseBlock, {0x01, 0x00}), MakeFrame(2, {}));
    EXPECT_EQ(Ask(receiver, kCmdWriteChunk, WritePayload(0x01, 0x18, data)), MakeFrame(1, {}));
    Bytes read_back{0x01, 0x18, 128, 0};
    read_back.insert(read_back.end(), data.begin(), data.end());
    EXPECT_EQ(Ask(receiver, kCmdReadChunk, {0x01, 0x18, 128}), MakeFrame(4, read_back));

    // The erase covered exactly block 1.
    const Receiver untouched(Quiet());
    const auto& memory = receiver.Memory();
    EXPECT_EQ(memory[0x1000], 0xFF);
    EXPECT_EQ(memory[0x1FFF], 0xFF);
    EXPECT_EQ(memory[0x0FFF], untouched.Memory()[0x0FFF]);
    EXPECT_EQ(memory[0x2000], untouched.Memory()[0x2000]);
}

TEST(SimModel, ImageCheckSumsMemoryAndResetBootsOnlyAPassedImage) {
    Options options = Quiet();
    options.blank = true;
    options.version = {1, 0, 0};
    Receiver receiver(options);
    const Bytes data = Pattern(100, 3);
    ASSERT_EQ(Ask(receiver, kCmdWriteChunk, WritePayload(0, 0, data)), MakeFrame(1, {}));
    unsigned sum = (113348 - 100) * 0xFF;
    for (std::uint8_t b : data)
        sum += b;
    sum &= 0xFFFF;
    const std::uint8_t hi = static_cast<std::uint8_t>(sum >> 8),
                       lo = static_cast<std::uint8_t>(sum);

    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0, 0, 113348, sum + 1)),
              MakeFrame(3, {7, 0xEE, hi, lo}));
    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0xAB, 0xCD, 113348, sum + 1)),
              MakeFrame(1, {}));
    EXPECT_EQ(receiver.CurrentVersion(), (Version{1, 0, 0}));

    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0, 0, 113348, sum)),
              MakeFrame(3, {7, 0x11, hi, lo}));
    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0xAB, 0xCD, 113348, sum)),
              MakeFrame(1, {}));
    EXPECT_EQ(receiver.CurrentVersion(), (Version{3, 4, 5}));
    EXPECT_EQ(Ask(receiver, kCmdVersion), MakeFrame(3, {27, 3, 4, 5}));
}

TEST(SimModel, DropsBadChecksumsAndResynchronisesOnStartByte) {
    Receiver receiver(Quiet());
    Bytes bad = MakeFrame(kCmdVersion, {});
    ++bad.back();
    receiver.Feed(bad.data(), bad.size());
    EXPECT_TRUE(receiver.TakeOutput().empty());
    EXPECT_EQ(receiver.CommandCount(kCmdVersion), 0u);

    const Bytes noisy = test::Concat({{0x00, 0x24, 0xEE, 0x88}, MakeFrame(kCmdVersion, {})});
    receiver.Feed(noisy.data(), noisy.size());
    EXPECT_EQ(receiver.TakeOutput().size(), 1u);
    EXPECT_EQ(receiver.CommandCount(kCmdVersion), 1u);
}

FaultRule Rule(FaultAction action, int command, unsigned nth, std::uint32_t arg = 0,
               std::uint32_t arg2 = 0) {
    return FaultRule{action, command, nth, arg, arg2};
}

TEST(SimFault, DropsOnlyTheNthAnswerButStillCarriesTheCommandOut) {
    Options options = Quiet();
    options.faults = {Rule(FaultAction::kDrop, kCmdWriteChunk, 2)};
    Receiver receiver(options);
    const Bytes data(16, 0x00);
    EXPECT_FALSE(Ask(receiver, kCmdWriteChunk, WritePayload(0, 0, data)).empty());
    EXPECT_TRUE(Ask(receiver, kCmdWriteChunk, WritePayload(0, 1, data)).empty());
    EXPECT_FALSE(Ask(receiver, kCmdWriteChunk, WritePayload(0, 2, data)).empty());
    EXPECT_EQ(receiver.Memory()[16], 0x00);
}

TEST(SimFault, LateCopyAndCorruptChecksumAreSentAsAsked) {
    Options options = Quiet();
    options.faults = {Rule(FaultAction::kLate, kCmdReadChunk, 1, 300),
                      Rule(FaultAction::kCorrupt, kAnyCommand, 2)};
    Receiver receiver(options);
    const auto first = Feed(receiver, kCmdReadChunk, {0, 0, 8});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].delay, milliseconds(0));
    EXPECT_EQ(first[1].delay, milliseconds(300));
    EXPECT_EQ(first[0].bytes, first[1].bytes);

    const auto second = Feed(receiver, kCmdVersion, {});
    ASSERT_EQ(second.size(), 1u);
    Bytes expected = MakeFrame(3, {27, 2, 4, 5});
    EXPECT_NE(second[0].bytes, expected);
    ++expected.back();
    EXPECT_EQ(second[0].bytes, expected);
}

TEST(SimFault, AnswerContentFaultsChangeTheRightByte) {
    Options options = Quiet();
    options.blank = true;
    options.faults = {Rule(FaultAction::kStatus, kCmdImageCheck, kEveryOccurrence, 0x22),
                      Rule(FaultAction::kFlip, kCmdReadChunk, 1, 2, 0x40),
                      Rule(FaultAction::kDiffer, kCmdReadAddress, 1, 6)};
    Receiver receiver(options);
    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0, 0, 16, 16 * 0xFF)),
              MakeFrame(3, {7, 0x22, 0x0F, 0xF0}));
    EXPECT_EQ(Ask(receiver, kCmdReadChunk, {0, 0, 4}),
              MakeFrame(4, {0, 0, 4, 0, 0xFF, 0xFF, 0xBF, 0xFF}));
    EXPECT_EQ(Ask(receiver, kCmdReadAddress), MakeFrame(3, {200, 0, 0x19, 0x01, 0x12, 0x34, 0x57}));
}

TEST(SimFault, RefusedEraseIsNeitherAnsweredNorDone) {
    Options options = Quiet();
    options.refused_erase_blocks = {2};
    Receiver receiver(options);
    const std::uint8_t old = receiver.Memory()[0x2000];
    ASSERT_NE(old, 0xFF);
    EXPECT_TRUE(Ask(receiver, kCmdEraseBlock, {0x02, 0x00}).empty());
    EXPECT_EQ(receiver.Memory()[0x2000], old);
    EXPECT_EQ(Ask(receiver, kCmdEraseBlock, {0x03, 0x00}), MakeFrame(2, {}));
}

TEST(SimFault, BitErrorSpoilsReadBackAndTheReceiversOwnCheck) {
    Options options = Quiet();
    options.blank = true;
    options.bit_errors = {{0x21, 0x04}};
    Receiver receiver(options);
    EXPECT_EQ(Ask(receiver, kCmdReadChunk, {0, 2, 2}), MakeFrame(4, {0, 2, 2, 0, 0xFF, 0xFB}));
    EXPECT_EQ(Ask(receiver, kCmdImageCheck, CheckPayload(0, 0, 64, 64 * 0xFF))[5], 0xEE);
    EXPECT_EQ(receiver.Memory()[0x21], 0xFF);
}

TEST(SimFault, NoiseAvoidsFrameAndLineStartsAndFollowsTheSeed) {
    Options options = Quiet();
    options.noise = 200;
    options.seed = 7;
    Receiver first(options);
    Receiver second(options);
    const Bytes answer = Ask(first, kCmdVersion);
    EXPECT_EQ(answer, Ask(second, kCmdVersion));
    ASSERT_EQ(answer.size(), 200u + 9u);
    const Bytes noise(answer.begin(), answer.begin() + 200);
    EXPECT_EQ(std::count(noise.begin(), noise.end(), 0x88), 0);
    EXPECT_EQ(std::count(noise.begin(), noise.end(), '$'), 0);
    EXPECT_EQ(Bytes(answer.begin() + 200, answer.end()), MakeFrame(3, {27, 2, 4, 5}));
}

unsigned NmeaChecksum(const std::string& line) {
    unsigned sum = 0;
    for (std::size_t i = 1; i < line.size() && line[i] != '*'; ++i)
        sum ^= static_cast<unsigned char>(line[i]);
    return sum;
}

TEST(SimModel, NmeaLinesComeAtTheRateWithValidChecksums) {
    Options options;
    options.nmea_rate = 4;
    Receiver receiver(options);
    Link host;
    std::vector<std::string> lines;
    for (int ms = 0; ms < 2000; ms += 10) {
        receiver.Tick(milliseconds(ms));
        for (const Outgoing& out : receiver.TakeOutput()) {
            lines.emplace_back(out.bytes.begin(), out.bytes.end());
            host.OnReceive(out.bytes.data(), static_cast<std::uint32_t>(out.bytes.size()));
        }
    }
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(host.LineCount(), 8);
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        ASSERT_GT(line.size(), 12u);
        EXPECT_TRUE(line.starts_with("$GPGGA,") || line.starts_with("$GPRMC,"));
        ASSERT_EQ(line.substr(line.size() - 5, 1), "*");
        EXPECT_TRUE(line.ends_with("\r\n"));
        EXPECT_EQ(std::stoul(line.substr(line.size() - 4, 2), nullptr, 16), NmeaChecksum(line));
    }

    options.silent = true;
    Receiver silent(options);
    silent.Tick(milliseconds(5000));
    EXPECT_TRUE(silent.TakeOutput().empty());
    EXPECT_TRUE(Ask(silent, kCmdVersion).empty());
}

// The host's side of the pseudo-terminal, opened as the updater opens a serial port.
class Host {
public:
    explicit Host(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios tio{};
        if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) return;
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Host() {
        if (fd_ >= 0) close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }

    void Send(std::uint8_t code, const Bytes& payload = {}) {
        const Bytes frame = MakeFrame(code, payload);
        ASSERT_EQ(write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }

    // The next whole frame in the stream, skipping NMEA lines; empty after 5 s or a hang-up.
    Bytes NextFrame() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            const auto start = std::find(buffer_.begin(), buffer_.end(), kFrameStart);
            buffer_.erase(buffer_.begin(), start);
            if (buffer_.size() >= 3 && buffer_.size() >= buffer_[2] + 4u) {
                const Bytes frame(buffer_.begin(), buffer_.begin() + buffer_[2] + 4);
                buffer_.erase(buffer_.begin(), buffer_.begin() + buffer_[2] + 4);
                return frame;
            }
            if (std::chrono::steady_clock::now() > deadline || !Receive()) return {};
        }
    }

    // False once the line has hung up (or after 5 s without data).
    bool Receive() {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0) return false;
        std::uint8_t chunk[256];
        const ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.insert(buffer_.end(), chunk, chunk + n);
        return true;
    }

private:
    int fd_;
    Bytes buffer_;
};

std::string TempLinkPath() {
    const auto dir = std::filesystem::temp_directory_path();
    return (dir / ("korvel7-sim-test-" + std::to_string(getpid()))).string();
}

TEST(SimPty, AnswersThroughTheLinkAmidNmeaAndRemovesTheLinkAtStop) {
    Options options;
    options.nmea_rate = 200;
    const std::string link = TempLinkPath();
    PtyServer server(options, link);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    ASSERT_EQ(std::filesystem::read_symlink(link), server.SlavePath());

    Host host(link);
    ASSERT_TRUE(host.IsOpen());
    for (int i = 0; i < 20; ++i) {
        host.Send(kCmdVersion);
        EXPECT_EQ(host.NextFrame(), MakeFrame(3, {27, 2, 4, 5}));
    }
    EXPECT_EQ(server.Inspect([](const Receiver& r) { return r.CommandCount(kCmdVersion); }), 20u);

    server.Stop();
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

// At 1000 lines a second the line's buffer is full long before each pause ends: the
// server must drop output rather than block, and stay able to answer and to stop.
TEST(SimPty, KeepsServingAndStopsWhileNobodyReads) {
    Options options;
    options.nmea_rate = 1000;
    PtyServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    std::this_thread::sleep_for(milliseconds(500));
    {
        Host host(server.SlavePath());
        ASSERT_TRUE(host.IsOpen());
        host.Send(kCmdVersion);
        // The answer must find room while the host is still behind with its reading.
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(host.NextFrame(), MakeFrame(3, {27, 2, 4, 5}));
    }
    std::this_thread::sleep_for(milliseconds(500));
    server.Stop();
    EXPECT_FALSE(server.Running());
}

TEST(SimPty, HangupFaultClosesTheHostsLine) {
    Options options = Quiet();
    options.faults = {Rule(FaultAction::kHangup, kCmdVersion, 2)};
    PtyServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    Host host(server.SlavePath());
    host.Send(kCmdVersion);
    EXPECT_FALSE(host.NextFrame().empty());
    host.Send(kCmdVersion);
    EXPECT_TRUE(host.NextFrame().empty());
    EXPECT_FALSE(host.Receive());
    EXPECT_FALSE(server.Running());
    EXPECT_TRUE(server.Failure().empty());
}

TEST(SimPty, StartRefusesToReplaceAFileThatIsNoLink) {
    const std::string path = TempLinkPath();
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    PtyServer server(Quiet(), path);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace k7::sim
