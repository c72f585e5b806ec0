#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log/log.h"

namespace k7 {
namespace {

class RecordingSink final : public LogSink {
public:
    void Append(std::string_view text) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.emplace_back(text);
    }
    std::mutex mutex;
    std::vector<std::string> messages;
};

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { SetLogSink(nullptr); }
};

TEST_F(LogTest, MessagesWithoutSinkAreDropped) {
    SetLogSink(nullptr);
    LogPrintf("dropped %d\r\n", 1);
    RecordingSink sink;
    SetLogSink(&sink);
    LogPrintf("kept %d.%d ", 27, 0);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0], "kept 27.0 ");
}

TEST_F(LogTest, LongMessageIsCutAt2047Characters) {
    RecordingSink sink;
    SetLogSink(&sink);
    std::string text(5000, 'a');
    LogPrintf("%s", text.c_str());
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0], std::string(2047, 'a'));
}

// Every caller formats in its own buffer, so a message reaches the sink whole even when
// many threads log at once.
TEST_F(LogTest, ConcurrentCallersNeverMixText) {
    RecordingSink sink;
    SetLogSink(&sink);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            std::string filler(static_cast<std::size_t>(100 + 50 * t), static_cast<char>('a' + t));
            for (int i = 0; i < 500; ++i)
                LogPrintf("%d:%s:%d\r\n", t, filler.c_str(), i);
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_EQ(sink.messages.size(), 2000u);
    for (const auto& message : sink.messages) {
        int t = message[0] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, 4);
        std::string filler(static_cast<std::size_t>(100 + 50 * t), static_cast<char>('a' + t));
        EXPECT_EQ(message.substr(0, 2 + filler.size() + 1), std::to_string(t) + ":" + filler + ":");
        EXPECT_EQ(message.substr(message.size() - 2), "\r\n");
    }
}

}  // namespace
}  // namespace k7
