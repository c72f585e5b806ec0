// What korvel7 writes besides the log: JSON lines, names on the terminal, live lines and
// the files of --log-dir.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/job_result.h"
#include "cli/json.h"
#include "cli/live_lines.h"
#include "cli/log_file.h"
#include "cli/terminal.h"
#include "tests/cli_fixture.h"

namespace k7::test {
namespace {

// Quotes, backslashes and control characters are escaped; what is not UTF-8 (a stray
// byte, a cut sequence, an overlong form, a surrogate) reads as U+FFFD; UTF-8 passes.
TEST(CliOutput, JsonStringsAreValidUtf8Json) {
    const std::string name =
        "a\"b\\c\x1b\n\xff|\xc3|\xc0\xaf|\xed\xa0\x80|\xc3\xa9\xf0\x9f\x98\x80";
    const auto parsed = nlohmann::json::parse(JsonString(name));
    EXPECT_EQ(parsed.get<std::string>(),
              "a\"b\\c\x1b\n\xef\xbf\xbd|\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd|"
              "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xc3\xa9\xf0\x9f\x98\x80");
}

// Every field of a JSON line, written out, for a program job that failed at the check;
// an info job adds the address it read.
TEST(CliOutput, JsonLinesCarryEveryField) {
    JobResult job;
    job.port.label = "/dev/ttyACM0";
    job.report.version = FirmwareVersion{2, 4, 5};
    job.report.image = 'A';
    job.report.bytes_written = 100080;
    job.report.Fail(Failure::kFailed, Step::kCheck);
    job.seconds = 31.25;
    job.log_path = "logs/a.log";
    job.usb = UsbIdentity{0x1209, 0x000c, std::nullopt, "1-2.4", ""};
    EXPECT_EQ(
        JsonLine(job, JobKind::kProgram),
        "{\"port\":\"/dev/ttyACM0\",\"usb\":{\"vid\":\"1209\",\"pid\":\"000c\",\"serial\":null,"
        "\"location\":\"1-2.4\",\"by_path\":null},\"device_address\":null,\"found\":true,\"version_"
        "before\":\"2.4.5\","
        "\"image\":\"A\",\"bytes_written\":100080,\"result\":\"failed\","
        "\"failed_step\":\"check\",\"duration_s\":31.25,\"exit_status\":1,"
        "\"log_file\":\"logs/a.log\",\"log_lost\":false}\n");
    job.report.address = {0x00, 0x19, 0x01, 0xAB, 0x0C, 0xFF};
    const std::string info = JsonLine(job, JobKind::kInfo);
    EXPECT_NE(info.find(",\"address\":\"00:19:01:AB:0C:FF\",\"result\""), std::string::npos);
    EXPECT_NE(info.find(",\"device_address\":\"00:19:01:AB:0C:FF\","), std::string::npos);
}

// One cause per job, read alike by the JSON line, the end of its live line and the exit
// status; a job that succeeded names no failed step, whatever its report holds, and one
// that lost its log fails without one.
TEST(CliOutput, EachCauseReadsAlikeEverywhere) {
    using F = Failure;
    const struct {
        JobKind kind;
        F failure;
        Step step;
        bool log_lost;
        std::string json, end;
        int status;
    } cases[] = {
        {JobKind::kProgram, F::kNone, Step::kCheck, false,
         R"(true,"result":"updated","failed_step":null)", "updated", 0},
        {JobKind::kProgram, F::kNone, Step::kNone, true,
         R"(true,"result":"updated","failed_step":null)", "updated, log lost", 1},
        {JobKind::kProgram, F::kStopped, Step::kErase, false,
         R"(true,"result":"failed","failed_step":"erase")", "failed at erase", 1},
        {JobKind::kProgram, F::kNotFound, Step::kProbe, false,
         R"(false,"result":"not found","failed_step":"probe")", "not found", 2},
        {JobKind::kInfo, F::kNone, Step::kNone, false,
         R"(true,"result":"answered","failed_step":null)", "answered", 0},
        {JobKind::kInfo, F::kFailed, Step::kAddress, false,
         R"(true,"result":"failed","failed_step":"address")", "failed at address", 1},
        {JobKind::kVerify, F::kNone, Step::kNone, false,
         R"(true,"result":"matches","failed_step":null)", "matches", 0},
        {JobKind::kVerify, F::kDiffers, Step::kCompare, false,
         R"(true,"result":"differs","failed_step":"compare")", "differs", 1},
        {JobKind::kVerify, F::kStopped, Step::kCompare, false,
         R"(true,"result":"failed","failed_step":"compare")", "failed at compare", 1},
        {JobKind::kVerify, F::kFailed, Step::kRead, false,
         R"(true,"result":"failed","failed_step":"read")", "failed at read", 1},
    };
    for (const auto& c : cases) {
        JobResult job;
        job.report.Fail(c.failure, c.step);
        job.log_lost = c.log_lost;
        const nlohmann::json line = nlohmann::json::parse(JsonLine(job, c.kind));
        const nlohmann::json expected = nlohmann::json::parse("{\"found\":" + c.json + "}");
        for (const auto& [key, value] : expected.items())
            EXPECT_EQ(line[key], value) << c.json;
        EXPECT_EQ(line["exit_status"], c.status) << c.json;
        EXPECT_EQ(job.Status(), c.status) << c.json;
        EXPECT_EQ(EndText(job, c.kind), c.end + "  0.0 s");
    }
    EXPECT_EQ(OverallStatus({kExitNotFound, kExitNotFound}), kExitNotFound);
    EXPECT_EQ(OverallStatus({kExitNotFound, kExitFailed}), kExitFailed);
    EXPECT_EQ(OverallStatus({kExitOk, kExitOk}), kExitOk);
}

// Control characters, C1 controls and bytes that are not UTF-8 are shown, never sent.
TEST(CliOutput, NamesReachTheTerminalPrintable) {
    EXPECT_EQ(Printable("/dev/x\x1b[2J\r\x7f\xc2\x9b\xff\xc3\xa9"),
              "/dev/x\\x1b[2J\\x0d\\x7f\\xc2\\x9b\\xff\xc3\xa9");
}

// A row is one column short of the width, whatever the name; a name that fits stays whole,
// a longer one keeps its start and end, never half a character.
TEST(CliOutput, LiveRowsFitTheWidth) {
    const std::string state = "updated  31.2 s";
    const std::string fits(80 - 1 - 2 - state.size(), 'n');
    EXPECT_EQ(FitRow({fits, state, true}, 80), fits + "  " + state);
    const std::string row = FitRow({fits + "x", state, true}, 80);
    EXPECT_EQ(row, fits.substr(0, 30) + "..." + fits.substr(0, 28) + "x  " + state);
    EXPECT_EQ(FitRow({"/dev/serial/by-id/usb-Korvel_7-if00", state, true}, 20).size(), 19u);
    EXPECT_EQ(ElideMiddle("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 6), "\xc3\xa9...");
}

std::string Drawn(const TerminalInfo& terminal, const std::vector<std::vector<LiveRow>>& draws) {
    std::FILE* out = std::tmpfile();
    LiveLines lines(out, terminal);
    for (const auto& rows : draws)
        lines.Draw(rows);
    std::string text = Contents(out);
    std::fclose(out);
    return text;
}

// In place every redraw moves up the rows drawn before; a terminal that cannot gets one
// plain line per job, when it ends.
TEST(CliOutput, LiveLinesRedrawInPlaceOrWritePlainEnds) {
    const std::vector<LiveRow> running = {{"a", "erase", false}, {"b", "erase", false}};
    const std::vector<LiveRow> one_ended = {{"a", "failed", true}, {"b", "erase", false}};
    const std::vector<LiveRow> both_ended = {{"a", "failed", true}, {"b", "updated", true}};
    EXPECT_EQ(Drawn({40, true}, {running, one_ended}),
              "\r\x1b[Ka  erase\n\r\x1b[Kb  erase\n\x1b[2A\r\x1b[Ka  failed\n\r\x1b[Kb  erase\n");
    EXPECT_EQ(Drawn({40, false}, {running, one_ended, one_ended, both_ended}),
              "a  failed\nb  updated\n");
}

class LogFiles : public ::testing::Test {
protected:
    const TempDir temp;
    const std::filesystem::path& dir = temp.path;
};

// A link or a file already at the name is left alone: the log goes to the next free name.
TEST_F(LogFiles, NeverOpenAnExistingNameOrLink) {
    const auto victim = dir / "victim";
    std::ofstream(victim) << "keep";
    std::filesystem::create_symlink(victim, dir / "p-1.log");
    std::filesystem::create_symlink(dir / "nowhere", dir / "p-1-2.log");
    std::ofstream(dir / "p-1-3.log") << "earlier run";
    auto file = LogFile::Create(dir.string(), "p-1");
    EXPECT_EQ(file->path(), (dir / "p-1-4.log").string());
    file->Write("log");
    EXPECT_TRUE(file->Close());
    EXPECT_EQ(LogFile::Create(dir.string(), "p-1")->path(), (dir / "p-1-5.log").string());
    std::string text;
    std::ifstream(victim) >> text;
    EXPECT_EQ(text, "keep");
    std::ifstream(dir / "p-1-3.log") >> text;
    EXPECT_EQ(text, "earlier");
    EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
}

TEST_F(LogFiles, AFailedWriteIsKeptAndReported) {
    LogFile full("/dev/full", open("/dev/full", O_WRONLY));
    full.Write("Entered COM PORT");
    EXPECT_FALSE(full.Close());
    EXPECT_EQ(full.error(), "No space left on device");
    EXPECT_EQ(LogDirProblem((dir / "none").string()), "No such file or directory");
    EXPECT_EQ(LogDirProblem("/dev/null"), "Not a directory");
    EXPECT_EQ(LogDirProblem(dir.string()), "");
}

// Long names stay within 255 bytes and apart; short ones read as the port.
TEST_F(LogFiles, NamesFitTheFileSystemAndStayApart) {
    std::tm time{};
    time.tm_year = 126, time.tm_mday = 2, time.tm_hour = 3, time.tm_min = 4, time.tm_sec = 5;
    EXPECT_EQ(LogFileStem("/dev/ttyACM0", time), "dev-ttyACM0-20260102-030405");
    const std::string a = "/dev/" + std::string(300, 'a') + "/" + std::string(300, 'z');
    std::string b = a;
    b[200] = 'b';
    const std::string stem = LogFileStem(a, time);
    EXPECT_LE(stem.size() + std::string("-999.log").size(), 255u);
    EXPECT_TRUE(stem.starts_with("dev-aaa")) << stem;
    EXPECT_NE(stem, LogFileStem(b, time));
    EXPECT_TRUE(LogFile::Create(dir.string(), stem)->created());
}

}  // namespace
}  // namespace k7::test
