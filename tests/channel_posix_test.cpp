#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

// The kernel's header declares a sched_param of its own beside the C library's.
#define sched_param kernel_sched_param
#include <linux/sched/types.h>
#undef sched_param

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
// open and nothing more. Root gets through another program's TIOCEXCL, so the open asks
// for it: a terminal made exclusive by someone else is busy, and keeps that program's flag.
TEST(ChannelPosix, ExclusiveFlagIsClearedAfterAFailedOpenAndKeptWhenAnotherHoldsIt) {
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

    ASSERT_EQ(ioctl(terminal, TIOCEXCL), 0);
    OpenError error;
    EXPECT_EQ(OpenSerialDevice(peer.Path(), kBaudRate, &error), nullptr);
    EXPECT_EQ(error.failure, OpenFailure::kBusy);
    EXPECT_EQ(ioctl(terminal, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    close(terminal);
}

// The shortest time slice an ordinary thread may ask for, which the exchange threads take.
constexpr std::uint64_t kShortSliceNs = 100'000;

sched_attr AttrOf(pid_t tid) {
    sched_attr attr{};
    EXPECT_EQ(syscall(SYS_sched_getattr, tid, &attr, sizeof attr, 0), 0) << "thread " << tid;
    return attr;
}

int ThreadsWithShortSlices() {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (const dirent* entry = tasks != nullptr ? readdir(tasks) : nullptr) {
        const long tid = std::strtol(entry->d_name, nullptr, 10);
        if (tid > 0 && AttrOf(static_cast<pid_t>(tid)).sched_runtime == kShortSliceNs) ++count;
    }
    if (tasks != nullptr) closedir(tasks);
    return count;
}

// A woken receiving thread gets a CPU sooner on a busy machine when it runs with a short
// slice; nothing else in the process changes. A caller's thread keeps its nice value, and
// one that a user put under another policy keeps that policy.
TEST(ChannelPosix, TheReceivingThreadRunsWithAShortSliceAndKeepsItsNiceValueAndPolicy) {
    if (AttrOf(static_cast<pid_t>(gettid())).sched_runtime == 0)  // before Linux 6.12
        GTEST_SKIP() << "this kernel keeps no time slice per thread";
    PtyPeer peer;
    ASSERT_EQ(ThreadsWithShortSlices(), 0);
    SerialDevice* device = OpenSerialDevice(peer.Path(), kBaudRate);
    ASSERT_NE(device, nullptr);
    // The thread asks for its slice once it runs, which may be after the open returned.
    int raised = 0;
    for (int i = 0; i < 2000 && raised == 0; ++i) {
        std::this_thread::sleep_for(1ms);
        raised = ThreadsWithShortSlices();
    }
    EXPECT_EQ(raised, 1);
    CloseSerialDevice(device);

    sched_attr niced{}, batch{};
    std::thread([&] {
        const auto tid = static_cast<id_t>(gettid());
        ASSERT_EQ(setpriority(PRIO_PROCESS, tid, 5), 0);
        RaiseExchangePriority();
        niced = AttrOf(static_cast<pid_t>(tid));
        const sched_param param{};
        ASSERT_EQ(sched_setscheduler(0, SCHED_BATCH, &param), 0);
        RaiseExchangePriority();
        batch = AttrOf(static_cast<pid_t>(tid));
    }).join();
    EXPECT_EQ(niced.sched_policy, static_cast<std::uint32_t>(SCHED_OTHER));
    EXPECT_EQ(niced.sched_nice, 5);
    EXPECT_EQ(niced.sched_runtime, kShortSliceNs);
    EXPECT_EQ(batch.sched_policy, static_cast<std::uint32_t>(SCHED_BATCH));
}

}  // namespace
}  // namespace k7
