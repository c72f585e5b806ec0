// The virtual receiver's link path: what a user names is replaced only when it is a
// symbolic link left behind by an earlier run, never a file of theirs. (Its model of the
// receiver is checked by the update and address tests that run against it.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/pty_server.h"

namespace k7::sim {
namespace {

TEST(SimPty, StartRefusesToReplaceAFileThatIsNoLink) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("korvel7-sim-test-" + std::to_string(getpid())))
            .string();
    std::fclose(std::fopen(path.c_str(), "w"));
    PtyServer server(Options{}, path);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace k7::sim
