#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "link/link.h"
#include "link/serial.h"
#include "tests/pty_peer.h"

namespace k7 {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::PtyPeer;

struct Received {
    std::mutex mutex;
    Bytes bytes;
    std::uint32_t largest_block = 0;
};

void Collect(void* context, const std::uint8_t* bytes, std::uint32_t count) {
    auto* received = static_cast<Received*>(context);
    std::lock_guard<std::mutex> lock(received->mutex);
    received->bytes.insert(received->bytes.end(), bytes, bytes + count);
    received->largest_block = std::max(received->largest_block, count);
}

TEST(ChannelPosix, DeliversEveryByteInOrderInSmallBlocks) {
    PtyPeer peer;
    SerialDevice* device = OpenSerialDevice(peer.Path(), kBaudRate);
    ASSERT_NE(device, nullptr);
    Received received;
    SetReceiveCallback(device, Collect, &received);

    Bytes sent(5000);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
    peer.Write(sent);
    for (int i = 0; i < 5000; ++i) {
        std::lock_guard<std::mutex> lock(received.mutex);
        if (received.bytes.size() >= sent.size()) break;
        std::this_thread::sleep_for(1ms);
    }
    CloseSerialDevice(device);
    EXPECT_EQ(received.bytes, sent);
    EXPECT_LE(received.largest_block, kReceiveBlock);
}

// Closing while bytes pour in must stop the receiving thread before the device and the
// link it feeds are gone; the sanitizers catch a thread that outlives them.
TEST(ChannelPosix, CloseWhileReceivingAndReopen) {
    PtyPeer peer;
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        const Bytes line = test::Text("$GPGGA,123519,4807.038,N,01131.000,E*47\r\n");
        while (flooding)
            peer.Write(line);
    });
    for (int round = 0; round < 20; ++round) {
        Link link;
        ASSERT_EQ(link.OpenComPort(PortFromPath(peer.Path())), 1) << "round " << round;
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(link.CloseComPort(), 1);
        EXPECT_FALSE(link.PortOpen());
    }
    flooding = false;
    flood.join();
}

// An open that fails after making the terminal exclusive (here: no descriptors left for
// the wake-up pipe) must clear the flag again, or the terminal stays barred to every
// later opener but root. The open runs in a child whose descriptor limit lets the device
// open and nothing more.
TEST(ChannelPosix, FailedOpenLeavesTheTerminalShared) {
    PtyPeer peer;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int lowest_free = dup(0);
        close(lowest_free);
        const rlimit limit{static_cast<rlim_t>(lowest_free + 2),
                           static_cast<rlim_t>(lowest_free + 2)};
        setrlimit(RLIMIT_NOFILE, &limit);
        _exit(OpenSerialDevice(peer.Path(), kBaudRate) == nullptr ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the open did not fail";
    const int terminal = open(peer.Path().c_str(), O_RDWR | O_NOCTTY);  // root gets through
    ASSERT_GE(terminal, 0);
    int exclusive = -1;
    EXPECT_EQ(ioctl(terminal, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(terminal);
}

}  // namespace
}  // namespace k7
