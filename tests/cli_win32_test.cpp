// The Windows korvel7.exe as a user runs it under Wine: its standard output byte for byte
// and its exit status, against the native simulator that tools/wine-run.sh serves on COM7.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/expected_log.h"
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

// A text-mode stdout or a lost, doubled or reordered message shows up as a difference
// somewhere in the 25 block lines; the probe wait and the pause before the receiver's
// check are the product's own.
TEST(CliWin32, ProgramOnCom7PrintsTheWholeLogByteForByte) {
    const Result r = RunCli("program --port COM7");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, test::SuccessLog("COM7", "2.4.5", BuiltInImages().a));
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

}  // namespace
}  // namespace k7
