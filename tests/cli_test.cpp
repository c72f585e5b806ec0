// The korvel7 program as a user runs it: its standard output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "link/link.h"
#include "sim/pty_server.h"

namespace k7 {
namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

Result RunCli(const std::string& arguments) {
    Result result;
    const std::string err_path =
        (std::filesystem::temp_directory_path() / ("korvel7-cli-err-" + std::to_string(getpid())))
            .string();
    const std::string command = std::string(KORVEL7_CLI) + " " + arguments + " 2>" + err_path;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadFile(err_path);
    std::filesystem::remove(err_path);
    return result;
}

class CliTest : public ::testing::Test {
protected:
    void Serve(sim::Options options = {}) {
        options.blank = true;
        server = std::make_unique<sim::PtyServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
    }
    std::unique_ptr<sim::PtyServer> server;
};

TEST_F(CliTest, ProgramPrintsTheLogWithCrLfAndExitsZero) {
    Serve();
    const std::string port = server->SlavePath();
    Result r = RunCli("program --port " + port);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("\r\nEntered COM PORT : " + port + "\r\n" + port +
                              " Opened\r\nChecking " + port + "... found a KORVEL7\r\n",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 19), "Update successful\r\n");
    for (std::size_t i = 1; i < r.out.size(); ++i) {
        if (r.out[i] == '\n') {
            ASSERT_EQ(r.out[i - 1], '\r') << "bare LF at " << i;
        }
    }
}

TEST_F(CliTest, ExitStatusFollowsTheOutcome) {
    sim::Options failing;
    failing.faults.push_back({sim::FaultAction::kStatus, kCmdImageCheck, 1, 0xEE, 0});
    Serve(failing);
    Result r = RunCli("program --port " + server->SlavePath());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(r.out.size() - 23), "Update not successful\r\n");

    r = RunCli("program --port /dev/korvel7-missing");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out,
              "\r\nEntered COM PORT : /dev/korvel7-missing\r\n"
              "/dev/korvel7-missing not found or busy\r\nKORVEL7 not found\r\n");
}

// Another process holding the port keeps this one out, and the tool says so at once.
TEST_F(CliTest, BusyPortIsReportedNotWaitedFor) {
    Serve();
    Link holder;
    ASSERT_EQ(holder.OpenComPort(PortFromPath(server->SlavePath())), 1);
    Result r = RunCli("version --port " + server->SlavePath());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, server->SlavePath() + " not found or busy\r\n");
    holder.CloseComPort();
    r = RunCli("version --port " + server->SlavePath());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, server->SlavePath() + " Opened\r\nExisting FW version: 2.4.5\r\n");
}

// A script reading the log must never see a usage message in it.
// The address fields follow the window's rule; a bad one is refused before the port opens.
TEST_F(CliTest, AddressWritesAndConfirmsOrRefusesTheFields) {
    Serve();
    const std::string port = server->SlavePath();
    Result r = RunCli("address --port " + port + " 0a FF 7c");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "INPUT ADDRESS = 0A:FF:7C\r\n" + port + " Opened\r\nPROGRAM " + port +
                         "... Command OK\r\nRead Addr OK    0A:FF:7C\r\n"
                         "================ PROGRAM OK ================\r\n");
    r = RunCli("address --port " + port + " 0a F 7c");
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "INPUT N.G.\r\n");
}

// The bar goes to standard error only: the log on standard output is the same byte for
// byte with and without it. --quiet leaves nothing but what went wrong.
TEST_F(CliTest, ProgressAndQuietLeaveTheLogAlone) {
    Serve();
    const std::string port = "--port " + server->SlavePath();
    const Result plain = RunCli("program " + port);
    const Result with_bar = RunCli("program --progress " + port);
    EXPECT_EQ(with_bar.status, 0);
    EXPECT_EQ(with_bar.out, plain.out);
    EXPECT_EQ(plain.err, "");
    EXPECT_NE(with_bar.err.find("] check   100%"), std::string::npos) << with_bar.err;
    EXPECT_EQ(with_bar.err.back(), '\n');

    const Result quiet = RunCli("program --quiet " + port);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");

    const Result missing = RunCli("program --quiet --progress --port /dev/korvel7-missing");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "/dev/korvel7-missing not found or busy\r\n");
    EXPECT_EQ(missing.err, "korvel7: KORVEL7 not found on /dev/korvel7-missing\n");
}

TEST(Cli, UsageErrorsExit64WithNothingOnStdout) {
    for (const char* arguments :
         {"", "flash --port /dev/x", "program", "program --port COMx",
          "program --port /dev/x extra", "ports extra", "address --port /dev/x 0a ff",
          "program --port /dev/x --verbose", "version --port /dev/x --progress"}) {
        const Result r = RunCli(arguments);
        EXPECT_EQ(r.status, 64) << arguments;
        EXPECT_EQ(r.out, "") << arguments;
    }
    Result help = RunCli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("program --port PORT"), std::string::npos);
}

}  // namespace
}  // namespace k7
