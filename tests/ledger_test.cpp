// The station's ledger file: appended to, never truncated, each line whole whatever the
// threads, readable while open, and every failure reported with the file and its reason.
#include "cli/ledger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace k7 {
namespace {

class LedgerTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static std::string Read(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

private:
    std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                                 ("korvel7-ledger-test-" + std::to_string(getpid()));
};

TEST_F(LedgerTest, AppendsAfterWhatTheFileHeldAndIsReadableWhileOpen) {
    const std::string path = Path("ledger.jsonl");
    std::ofstream(path) << "{\"earlier\":1}\n";
    Ledger ledger;
    ASSERT_EQ(ledger.Open(path), "");
    ASSERT_EQ(ledger.Append("{\"job\":1}"), "");
    ASSERT_EQ(ledger.Append("{\"job\":2}"), "");
    EXPECT_EQ(Read(path), "{\"earlier\":1}\n{\"job\":1}\n{\"job\":2}\n");

    const mode_t mask = umask(027);
    Ledger created;
    EXPECT_EQ(created.Open(Path("new.jsonl")), "");
    umask(mask);
    struct stat info {};
    ASSERT_EQ(stat(Path("new.jsonl").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(LedgerTest, LinesFromEightThreadsAreAllThereAndWhole) {
    const std::string path = Path("ledger.jsonl");
    Ledger ledger;
    ASSERT_EQ(ledger.Open(path), "");
    constexpr int kThreads = 8, kLines = 40;
    const auto line = [](int thread, int n) {
        return std::to_string(thread) + ":" + std::to_string(n) + ":" + std::string(500, 'x');
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLines; ++n)
                EXPECT_EQ(ledger.Append(line(t, n)), "");
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::set<std::string> expected, found;
    for (int t = 0; t < kThreads; ++t)
        for (int n = 0; n < kLines; ++n)
            expected.insert(line(t, n));
    std::istringstream text(Read(path));
    for (std::string got; std::getline(text, got);)
        EXPECT_TRUE(found.insert(got).second) << "written twice: " << got.substr(0, 20);
    EXPECT_EQ(found, expected);
}

// Each failure names the file and says why, in the system's words or the ledger's own.
TEST_F(LedgerTest, FailuresNameTheFileAndTheReason) {
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        const char* reason;
    } refused[] = {
        {Path("fifo"), "FIFO"},
        {Path(""), "Is a directory"},
        {Path("missing/ledger.jsonl"), "No such file or directory"},
    };
    for (const auto& [path, reason] : refused) {
        Ledger ledger;
        const std::string error = ledger.Open(path);
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_NE(ledger.Append("{}"), "");
    }
    Ledger full;
    ASSERT_EQ(full.Open("/dev/full"), "");
    EXPECT_EQ(full.Append("{}"), "writing to the ledger /dev/full: No space left on device");
}

}  // namespace
}  // namespace k7
