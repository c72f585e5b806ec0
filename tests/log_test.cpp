#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "log/log.h"

namespace k7 {
namespace {

TEST(Log, MessagesWithoutSinkAreDroppedAndLongOnesCut) {
    CaptureLogSink sink;
    SetLogSink(nullptr);
    LogPrintf("dropped %d\r\n", 1);
    SetLogSink(&sink);
    LogPrintf("kept %d.%d ", 27, 0);
    LogPrintf("%s", std::string(5000, 'a').c_str());
    SetLogSink(nullptr);
    EXPECT_EQ(sink.Text(), "kept 27.0 " + std::string(2047, 'a'));
}

// Two threads log at once, as the worker and the receiving thread do: every message
// arrives whole and once.
TEST(Log, TwoThreadsLoggingAtOnceNeverMixOrLoseText) {
    CaptureLogSink sink;
    SetLogSink(&sink);
    constexpr int kMessages = 100000;
    std::atomic<int> ready{0};
    auto writer = [&ready](char name) {
        const std::string filler(100, name);
        for (++ready; ready < 2;) {  // both start together
        }
        for (int i = 0; i < kMessages; ++i)
            LogPrintf("%s %d\r\n", filler.c_str(), i);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    SetLogSink(nullptr);

    const std::string text = sink.Text();
    int next[2] = {0, 0};
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "cut at the end: " << text.substr(at);
        const std::string message = text.substr(at, end - at);
        const int who = message[0] - 'a';
        ASSERT_TRUE(who == 0 || who == 1) << message;
        // Each thread's messages come in its own order.
        ASSERT_EQ(message, std::string(100, message[0]) + " " + std::to_string(next[who]++));
        at = end + 2;
    }
    EXPECT_EQ(next[0], kMessages);
    EXPECT_EQ(next[1], kMessages);
}

}  // namespace
}  // namespace k7
