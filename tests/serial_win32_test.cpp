// The Win32 serial channel under Wine, against the native simulator that tools/wine-run.sh
// serves on COM7 (also linked as COM9 and COM10).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "link/link.h"
#include "link/serial.h"

namespace k7 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls until `done` holds; the limit only guards against a hang.
template <typename Condition>
bool Eventually(Condition done) {
    const auto deadline = Clock::now() + 5s;
    while (!done() && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return done();
}

// The line as the link leaves it, read back through a handle of the test's own: 8N1 at
// 115200, no flow control of either kind (XON/XOFF would eat 0x11 and 0x13 of a frame).
TEST(SerialWin32, PortIsSet8N1At115200WithoutFlowControl) {
    Link link;
    ASSERT_EQ(link.OpenComPort(7), 1);
    ASSERT_EQ(link.CloseComPort(), 1);
    const HANDLE port = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    CloseHandle(port);
    EXPECT_EQ(std::tuple(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits),
              std::tuple(DWORD{115200}, BYTE{8}, BYTE{NOPARITY}, BYTE{ONESTOPBIT}));
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fOutxDsrFlow);
}

// Every reopen must count lines on a thread of its own; a close that waited for a thread
// stuck in a read would hang here. Then the version query is answered on every port name
// form: "COM7:", "COM9:", "\\.\COM10".
TEST(SerialWin32, CloseWhileReceivingThenReopenOnEveryPortName) {
    Link link;
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(link.OpenComPort(7), 1) << "round " << round;
        ASSERT_TRUE(Eventually([&] { return link.LineCount() > 0; })) << "round " << round;
        const auto start = Clock::now();
        ASSERT_EQ(link.CloseComPort(), 1);
        ASSERT_LT(Clock::now() - start, 5s) << "round " << round;
    }
    for (int number : {7, 9, 10}) {
        ASSERT_EQ(link.OpenComPort(number), 1) << "COM" << number;
        ASSERT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 1) << "COM" << number;
        const auto data = link.ResponseData();
        EXPECT_EQ(std::string(data.begin(), data.begin() + 4), std::string({27, 2, 4, 5}));
        link.CloseComPort();
    }
}

struct Received {
    std::mutex mutex;
    std::string bytes;
    std::uint32_t largest = 0;
    std::string Bytes() {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }
};

void Collect(void* context, const std::uint8_t* bytes, std::uint32_t count) {
    auto* received = static_cast<Received*>(context);
    std::lock_guard<std::mutex> lock(received->mutex);
    received->bytes.append(reinterpret_cast<const char*>(bytes), count);
    received->largest = std::max(received->largest, count);
}

// Lines cut at block boundaries must join up again: every complete line is one sentence.
TEST(SerialWin32Device, DeliversSmallBlocksInOrderAndNothingAfterClose) {
    SerialDevice* device = OpenSerialDevice("COM7:", kBaudRate);
    ASSERT_NE(device, nullptr);
    Received received;
    SetReceiveCallback(device, Collect, &received);
    std::this_thread::sleep_for(1500ms);
    CloseSerialDevice(device);
    const std::string text = received.Bytes();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(received.Bytes(), text);  // a callback after the close would add to it
    EXPECT_LE(received.largest, kReceiveBlock);

    const std::size_t first = text.find("\n$") + 1, last = text.rfind('\n');
    ASSERT_LT(first, last);
    std::istringstream lines(text.substr(first, last - first));
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.rfind("$GP", 0) == 0 && line.find('$', 1) == std::string::npos) << line;
}

// On a quiet line the receiving thread waits for a character event before it reads; under
// Wine that wait ends at once as cancelled and the read waits, until the close cancels it.
TEST(SerialWin32Quiet, AnswersUntilUnplugged) {
    Link link;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(link.CloseComPort(), round);  // nothing to close before the first open
        ASSERT_EQ(link.OpenComPort(7), 1);
        std::this_thread::sleep_for(300ms);  // the thread waits before the answer comes
        ASSERT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 1) << "round " << round;
    }
    const char* unplug = std::getenv("KORVEL7_SIM_UNPLUG");
    ASSERT_NE(unplug, nullptr) << "run through tools/wine-run.sh with KORVEL7_SIM set";
    std::FILE* request = std::fopen(unplug, "w");
    ASSERT_NE(request, nullptr) << unplug;
    std::fclose(request);
    EXPECT_TRUE(Eventually([&] { return !link.PortOpen(); }));
    EXPECT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 0);
    EXPECT_EQ(link.CloseComPort(), 1);
}

}  // namespace
}  // namespace k7
