// The Windows korvel7.exe as a user runs it under Wine: its standard output byte for byte
// and its exit status, against the native simulator that tools/wine-run.sh serves on COM7.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/wine_path.h"
#include "update/firmware_update.h"

namespace k7 {
namespace {

struct Result {
    int status = -1;
    std::string out;
};

// Runs korvel7.exe with `arguments` through the command interpreter, its standard output
// read as bytes and its standard error dropped.
Result RunCli(const std::string& arguments) {
    Result result;
    std::string command = "\"";
    command.append(test::WindowsPath(KORVEL7_CLI)).append("\" ").append(arguments);
    command.append(" 2>NUL");
    FILE* pipe = _popen(command.c_str(), "rb");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.out.append(buffer, n);
    result.status = _pclose(pipe);
    return result;
}

// A text-mode stdout ("\r\r\n") or a lost, doubled or reordered message shows up in the
// log's fixed start and end or in its whole blocks' lines; the probe wait and the pause
// before the receiver's check are the product's own.
TEST(CliWin32, ProgramOnCom7PrintsTheWholeLogByteForByte) {
    const Result r = RunCli("program --port COM7");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with(
        "\r\nEntered COM PORT : COM7\r\nCOM7 Opened\r\nChecking COM7... found a KORVEL7\r\n"
        "KORVEL7 Update working on COM7\r\nExisting FW version: 2.4.5\r\nerase "))
        << r.out;
    EXPECT_TRUE(
        r.out.ends_with("\r\nfwUpdate rsp\r\n" + r.out.substr(r.out.find("returned cs="), 18) +
                        "Issuing cpu reset command\r\n"
                        "Updated firmware was sent. KORVEL7 will be reset with new firmware\r\n"
                        "Update successful\r\n"))
        << r.out;
    const std::string full = std::string(32, '.') + " " + std::string(32, '.') + "ok\r\n";
    const std::size_t blocks = (BuiltInImages().a.size() + 4095) / 4096;
    std::string sent = "\r\n";
    for (std::size_t block = 1; block <= blocks; ++block) {
        sent += "send block " + std::to_string(block) + "/" + std::to_string(blocks) + " ";
        if (block < blocks) sent += full;
    }
    EXPECT_NE(r.out.find(sent), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\r\r"), std::string::npos);
}

// A missing port ends the log on standard output; a usage message never gets into the log
// that a script reads there.
TEST(CliWin32, FailuresExitWithTheirStatusAndKeepTheLogClean) {
    Result r = RunCli("program --port COM42");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out,
              "\r\nEntered COM PORT : COM42\r\nCOM42 not found or busy\r\nKORVEL7 not found\r\n");
    r = RunCli("program --port COMx");
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
}

// doctor opens the port to tell whether it is free, and closes it: the update after it
// finds the port free too.
TEST(CliWin32, DoctorPassesAFreePortAndFailsAMissingOne) {
    EXPECT_EQ(RunCli("doctor --port COM7").status, 0);
    EXPECT_EQ(RunCli("doctor --port COM42").status, 1);
    EXPECT_EQ(RunCli("info --port COM7").status, 0);
}

}  // namespace
}  // namespace k7
