// The korvel7 program as a user runs it: its standard output and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/cli_fixture.h"
#include "update/firmware_update.h"

namespace k7::test {
namespace {

// The log on standard output has CR LF line ends and is the same byte for byte with and
// without the bar, which goes to standard error only. --quiet leaves nothing but what
// went wrong.
TEST(Cli, ProgramPrintsTheLogAndTheBarApartOrQuietOnlyErrors) {
    Bench bench({sim::Options{}});
    const std::string port = bench[0].SlavePath();
    const Result plain = RunCli("program --port " + port);
    EXPECT_EQ(plain.status, 0);
    EXPECT_TRUE(plain.out.starts_with("\r\nEntered COM PORT : " + port + "\r\n" + port +
                                      " Opened\r\nChecking " + port + "... found a KORVEL7\r\n"))
        << plain.out;
    EXPECT_TRUE(plain.out.ends_with("Update successful\r\n")) << plain.out;
    for (std::size_t i = 1; i < plain.out.size(); ++i)
        ASSERT_TRUE(plain.out[i] != '\n' || plain.out[i - 1] == '\r') << "bare LF at " << i;
    EXPECT_EQ(plain.err, "");

    const Result with_bar = RunCli("program --progress --port " + port, "TERM=xterm COLUMNS=40");
    EXPECT_EQ(with_bar.status, 0);
    EXPECT_EQ(with_bar.out, plain.out);
    EXPECT_NE(with_bar.err.find("] check   100%"), std::string::npos) << with_bar.err;
    for (const std::string& line : Screen(with_bar.err))
        EXPECT_LT(line.size(), 40u) << line;
    EXPECT_EQ(with_bar.err.back(), '\n');

    const Result quiet = RunCli("program --quiet --port " + port);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");

    const Result missing = RunCli("program --quiet --progress --port /dev/korvel7-missing");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "/dev/korvel7-missing not found or busy\r\n");
    EXPECT_EQ(missing.err,
              "korvel7: /dev/korvel7-missing: no such device (No such file or directory); "
              "'korvel7 ports' lists this machine's serial ports\n"
              "korvel7: KORVEL7 not found on /dev/korvel7-missing\n");
}

// Each command's outcomes against a receiver that answers the image check with an
// acknowledgement (no verdict: a strict run fails), whose second version answer is for
// another command and whose first address read-back differs. The address fields follow
// the window's rule; a bad one is refused before the port opens.
TEST(Cli, ExitStatusFollowsEachOutcome) {
    sim::Options faulty;
    faulty.faults = {{sim::FaultAction::kKind, kCmdImageCheck, 1, kRspNoData1, 0},
                     {sim::FaultAction::kEcho, kCmdVersion, 2, 28, 0},
                     {sim::FaultAction::kDiffer, kCmdReadAddress, 1, 4, 0}};
    Bench bench({faulty});
    const std::string port = bench[0].SlavePath(), at = " --port " + port,
                      missing = " --port /dev/korvel7-missing";
    const Result strict = RunCli("program --strict" + at);
    EXPECT_EQ(strict.status, 1);
    EXPECT_TRUE(
        strict.out.ends_with("no answer to the image check. Please reset the unit "
                             "manually\r\nFirmware Update failed\r\nUpdate not "
                             "successful\r\n"))
        << strict.out;
    const std::string confirmed = "INPUT ADDRESS = 0A:FF:7C\r\n" + port + " Opened\r\nPROGRAM " +
                                  port +
                                  "... Command OK\r\nRead Addr OK    0A:FF:7C\r\n"
                                  "================ PROGRAM OK ================\r\n";
    // Each run's arguments, exit status and log; an empty log there leaves it unchecked.
    const std::tuple<std::string, int, std::string> runs[] = {
        {"version" + at, 1, ""},
        {"address" + at + " 0a ff 7c", 1, ""},
        {"version" + at, 0, port + " Opened\r\nExisting FW version: 2.4.5\r\n"},
        {"address" + at + " 0a FF 7c", 0, confirmed},
        {"address" + at + " 0a f 7c", 64, "INPUT N.G.\r\n"},
        {"program" + missing, 2, ""},
        {"version" + missing, 2, ""},
        {"address" + missing + " 0a ff 7c", 2, ""}};
    for (const auto& [arguments, status, out] : runs) {
        const Result r = RunCli(arguments);
        EXPECT_EQ(r.status, status) << arguments;
        EXPECT_TRUE(out.empty() || r.out == out) << arguments << ": " << r.out;
    }
}

// A script reading the log must never see a usage message in it.
TEST(Cli, UsageErrorsExit64WithNothingOnStdout) {
    for (const char* arguments :
         {"", "flash --port /dev/x", "program", "program --port COMx",
          "program --port /dev/x extra", "ports extra", "address --port /dev/x 0a ff",
          "program --port /dev/x --verbose", "version --port /dev/x --progress"}) {
        const Result r = RunCli(arguments);
        EXPECT_EQ(r.status, 64) << arguments;
        EXPECT_EQ(r.out, "") << arguments;
    }
}

// info and verify look and never touch: the receivers' command records hold nothing that
// erases, writes, checks, resets or sets the address.
TEST(Benches, InfoAndVerifyOnlyLook) {
    sim::Options version3;
    version3.version = {3, 0, 0};
    Bench bench({{}, version3});
    Result info = RunCli("info" + bench.Ports());
    EXPECT_EQ(info.status, 0) << info.out;
    const std::string sizes[] = {std::to_string(BuiltInImages().a.size()) + " bytes",
                                 std::to_string(BuiltInImages().b.size()) + " bytes"};
    EXPECT_NE(info.out.find("Existing FW version: 2.4.5\r\nDevice address: 00:19:01:12:34:56\r\n"
                            "program would install image A: " +
                            sizes[0]),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("program would install image B: " + sizes[1]), std::string::npos);
    Result verify = RunCli("verify --progress" + bench.Ports());
    EXPECT_EQ(verify.status, 1);  // blank memory differs
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_NE(Screen(verify.err)[i].find("  differs  "), std::string::npos) << verify.err;
    EXPECT_NE(verify.out.find("differs from image B\r\nVerify not successful\r\n"),
              std::string::npos)
        << verify.out;
    EXPECT_EQ(bench.Changing(0) + bench.Changing(1), 0u);
}

// One byte read back wrong in the last chunk of image B is found and named; skip-if-current
// then skips a receiver that holds its image byte for byte and updates a stale one.
TEST(Benches, VerifyFindsOneByteAndSkipIfCurrentUpdatesOnlyWhatDiffers) {
    sim::Options version3;
    version3.version = {3, 0, 0};
    const auto size_b = static_cast<unsigned>(BuiltInImages().b.size());
    const unsigned chunks_of_b = (size_b + 127) / 128;
    // The update reads every chunk once; the verify after it reads them again.
    version3.faults.push_back(
        {sim::FaultAction::kFlip, kCmdReadChunk, 2 * chunks_of_b, (size_b - 1) % 128, 0x10});
    Bench bench({version3, {}, {}});
    ASSERT_EQ(RunCli("program" + bench.Ports({0, 1})).status, 0);
    const Result verify = RunCli("verify" + bench.Ports({0, 1}));
    EXPECT_EQ(verify.status, 1);
    const unsigned last = BuiltInImages().b.back();
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "verify failed 1\r\nerr: %04x %02x %02x\r\ndiffers from image B\r\n", size_b - 1,
                  last, last ^ 0x10u);
    EXPECT_NE(verify.out.find(expected), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find("matches image A\r\nVerify successful\r\n"), std::string::npos);

    const unsigned erased_before = bench.Count(1, kCmdEraseBlock);
    const Result skip = RunCli("program --skip-if-current --json" + bench.Ports({1, 2}));
    EXPECT_EQ(skip.status, 0);
    const auto lines = JsonLines(skip.out);
    ASSERT_EQ(lines.size(), 2u) << skip.out;
    EXPECT_EQ(lines[0]["bytes_written"], 0);
    EXPECT_EQ(lines[0]["result"], "unchanged");
    EXPECT_EQ(lines[0]["failed_step"], nullptr);
    EXPECT_EQ(lines[1]["bytes_written"], BuiltInImages().a.size());
    EXPECT_EQ(lines[1]["result"], "updated");
    EXPECT_EQ(bench.Count(1, kCmdEraseBlock), erased_before);
    EXPECT_TRUE(bench.Holds(0, BuiltInImages().b));
    EXPECT_TRUE(bench.Holds(2, BuiltInImages().a));
}

// Four receivers at once, one hanging up in the middle of its writes: the other three are
// updated, that one fails on its own, every log file holds one port's whole log and
// nothing else, and each JSON line agrees with the exit status.
TEST(Benches, OneReceiverHangingUpStopsNoOther) {
    sim::Options hanging;
    hanging.faults.push_back({sim::FaultAction::kHangup, kCmdWriteChunk, 300, 0, 0});
    Bench bench({{}, {}, hanging, {}});
    const TempDir dir;
    const Result r = RunCli("program --json --log-dir " + dir.path.string() + bench.Ports());
    EXPECT_EQ(r.status, 1);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool failed = i == 2;
        EXPECT_EQ(lines[i]["port"], bench[i].SlavePath());
        EXPECT_EQ(lines[i]["result"], failed ? "failed" : "updated");
        EXPECT_EQ(lines[i]["exit_status"], failed ? 1 : 0);
        EXPECT_EQ(lines[i]["log_lost"], false);
        EXPECT_TRUE(std::filesystem::exists(lines[i]["log_file"].get<std::string>()));
        EXPECT_TRUE(failed || bench.Holds(i, BuiltInImages().a)) << i;
    }
    const std::vector<std::string> logs = dir.Files();
    EXPECT_EQ(logs.size(), 4u);
    for (const std::string& log : logs) {
        const std::size_t first = log.find("Entered COM PORT : ");
        ASSERT_EQ(first, 2u) << log;
        const std::string port = log.substr(first + 19, log.find('\r', first) - first - 19);
        EXPECT_EQ(log.find("Entered COM PORT", first + 1), std::string::npos);
        EXPECT_TRUE(log.ends_with("Update successful\r\n") ||
                    log.ends_with("Update not successful\r\n"))
            << log;
        // Another port's name, not the start of a longer one: /dev/pts/1 is in /dev/pts/12.
        for (std::size_t i = 0; i < 4; ++i) {
            if (bench[i].SlavePath() != port) {
                EXPECT_EQ(log.find(bench[i].SlavePath() + " Opened"), std::string::npos) << log;
            }
        }
    }
}

// Several ports show one line each on standard error, redrawn in place, each fitting the
// width however long its name: at the end each line holds how its port's run ended, and
// the table follows them, its port column elided to fit too.
TEST(Benches, LiveLinesFitTheWidthAndEndWithEachResult) {
    sim::Options hanging;
    hanging.faults.push_back({sim::FaultAction::kHangup, kCmdWriteChunk, 300, 0, 0});
    Bench bench({{}, hanging});
    const auto link = std::filesystem::temp_directory_path() /
                      ("korvel7-" + std::string(90, 'l') + std::to_string(getpid()));
    std::filesystem::create_symlink(bench[0].SlavePath(), link);
    const Result r = RunCli("program --progress --port " + link.string() + bench.Ports({1}),
                            "TERM=xterm COLUMNS=60");
    std::filesystem::remove(link);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> screen = Screen(r.err);
    ASSERT_EQ(screen.size(), 6u) << r.err;
    for (const std::string& line : screen)
        EXPECT_LT(line.size(), 60u) << line;
    EXPECT_NE(screen[0].find("..."), std::string::npos) << screen[0];
    EXPECT_NE(screen[0].find(std::to_string(getpid()) + "  updated  "), std::string::npos)
        << screen[0];
    EXPECT_TRUE(screen[1].starts_with(bench[1].SlavePath() + "  failed at ")) << screen[1];
    EXPECT_TRUE(screen[2].starts_with("port ")) << screen[2];
    EXPECT_NE(screen[3].find("..."), std::string::npos) << r.err;
    EXPECT_NE(screen[4].find(" failed "), std::string::npos) << screen[4];
}

// A terminal that cannot move the cursor gets a plain line per port as its job ends (the
// receiver that keeps its address ends last), and no bar for a lone port.
TEST(Benches, DumbTerminalsGetPlainLines) {
    sim::Options no_address;
    no_address.faults = {{sim::FaultAction::kDrop, kCmdReadAddress}};
    Bench bench({{}, no_address});
    Result r = RunCli("info --progress" + bench.Ports(), "TERM=dumb");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    const std::vector<std::string> lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 5u) << r.err;
    EXPECT_NE(lines[0].find("  answered  "), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("  failed at address  "), std::string::npos) << lines[1];
    r = RunCli("info --progress" + bench.Ports({0}), "TERM=dumb");
    EXPECT_EQ(r.err, "");
}

// A log the file system refuses (here: past the file size limit) is lost data: the job
// that updated its receiver still fails, says why on standard error and in its JSON.
TEST(Benches, ALostLogFailsTheJobAndSaysWhy) {
    Bench bench({sim::Options{}});
    const TempDir dir;
    const Result r = RunCli("program --json --log-dir " + dir.path.string() + bench.Ports(),
                            "trap '' XFSZ; ulimit -f 4;");
    EXPECT_EQ(r.status, 1);
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["result"], "updated");
    EXPECT_EQ(lines[0]["log_lost"], true);
    EXPECT_EQ(lines[0]["exit_status"], 1);
    const std::string file = lines[0]["log_file"];
    EXPECT_EQ(r.err,
              "korvel7: log of " + bench[0].SlavePath() + " to " + file + ": File too large\n");
    EXPECT_TRUE(bench.Holds(0, BuiltInImages().a));
}

// A name with control characters and bytes that are not UTF-8 stays valid in JSON and
// shows escaped on the terminal: in the table, the reason line and the --quiet line.
TEST(Benches, StrangeNamesStayValidJsonAndPrintable) {
    Bench bench({sim::Options{}});
    const TempDir temp;
    const std::filesystem::path& dir = temp.path;
    const std::string odd = (dir / "k7-\x1b[2J\xff").string(), missing = odd + "-missing";
    std::filesystem::create_symlink(bench[0].SlavePath(), odd);
    const Result r = RunCli("info --json --port '" + odd + "' --port '" + missing + "'");
    const Result quiet = RunCli("info --quiet --port '" + missing + "'");
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0]["port"], (dir / "k7-\x1b[2J\xef\xbf\xbd").string());
    EXPECT_EQ(lines[0]["result"], "answered");
    const std::string shown = (dir / "k7-\\x1b[2J\\xff").string();
    EXPECT_TRUE(Lines(r.err)[0].starts_with("korvel7: " + shown + "-missing: no such device"));
    EXPECT_TRUE(Lines(r.err)[2].starts_with(shown.substr(0, 10))) << r.err;
    EXPECT_EQ(Lines(quiet.err).back(), "korvel7: KORVEL7 not found on " + shown + "-missing");
    EXPECT_EQ((r.err + quiet.err).find_first_of("\x1b\xff"), std::string::npos);
}

// A sysfs tree of the test's own (SYSFS_PATH) puts three receivers' ptys behind USB devices
// at 1-2.1 (serial K7-A), 1-2.2 and 1-2.3 (both serial DUP): `ports` tells who each is, and
// --port picks one by who it is, or refuses with the candidates. A --json run reads the
// device address (a receiver without one still updates) and keeps its log files byte for
// byte as a run without; only a --json run asks for the address.
TEST(Identity, PortsChosenByWhoTheyAreAndJsonSaysWhoAnswered) {
    sim::Options a, no_address;
    a.address = {0x0A, 0x0B, 0x0C};
    no_address.faults = {{sim::FaultAction::kDrop, kCmdReadAddress}};
    Bench bench({a, no_address, {}});
    const TempDir sysfs, json_logs, plain_logs;
    for (std::size_t i = 0; i < 3; ++i) {
        const auto usb = sysfs.path / "devices/usb1" / ("1-2." + std::to_string(i + 1));
        std::filesystem::create_directories(usb / "if0");
        std::ofstream(usb / "idVendor") << "1209\n", std::ofstream(usb / "idProduct") << "000c\n";
        std::ofstream(usb / "serial") << (i == 0 ? "K7-A\n" : "DUP\n");
        std::string name = bench[i].SlavePath().substr(5);  // pts/N, which sysfs spells pts!N
        std::replace(name.begin(), name.end(), '/', '!');
        std::filesystem::create_directories(sysfs.path / "class/tty" / name);
        std::filesystem::create_directory_symlink(usb / "if0",
                                                  sysfs.path / "class/tty" / name / "device");
    }
    const std::string env = "SYSFS_PATH=" + sysfs.path.string(), pa = bench[0].SlavePath(),
                      pb = bench[1].SlavePath(), pc = bench[2].SlavePath();
    const std::string usb_a = "USB 1209:000c serial K7-A at 1-2.1";
    EXPECT_NE(RunCli("ports", env).out.find(pa + "  " + usb_a + "\n"), std::string::npos);
    const auto listed = JsonLines(RunCli("ports --json", env).out);
    const auto port_a = std::ranges::find(listed, nlohmann::json(pa),
                                          [](const nlohmann::json& port) { return port["port"]; });
    ASSERT_NE(port_a, listed.end());
    EXPECT_EQ(port_a->dump(), "{\"description\":null,\"port\":\"" + pa +
                                  "\",\"usb\":{\"by_path\":null,\"location\":\"1-2.1\",\"pid\":"
                                  "\"000c\",\"serial\":\"K7-A\",\"vid\":\"1209\"}}");
    // Each refused selection: what was asked and the candidates, one a line.
    const std::pair<std::string, std::vector<std::string>> refused[] = {
        {"serial:DUP", {"2 ports have USB serial DUP", pb + "  USB", pc + "  USB"}},
        {"location:1-2.9", {"no port is at USB location 1-2.9", pa + "  " + usb_a, pb, pc}},
        {"serial:K7-A --port " + pa, {"--port serial:K7-A and --port " + pa + " name the same"}}};
    for (const auto& [arguments, lines] : refused) {
        const Result r = RunCli("info --port " + arguments, env);
        EXPECT_EQ(r.status, 64) << arguments;
        const std::vector<std::string> err = Lines(r.err);
        ASSERT_EQ(err.size(), lines.size() + 1) << r.err;
        EXPECT_TRUE(err[0].starts_with("korvel7: " + lines[0])) << r.err;
        for (std::size_t i = 1; i < lines.size(); ++i)
            EXPECT_NE(r.err.find("\n  " + lines[i]), std::string::npos) << r.err;
        EXPECT_EQ(err.back(), "Try 'korvel7 --help'.");
    }

    const Result json = RunCli("program --json --log-dir " + json_logs.path.string() +
                                   " --port location:1-2.1 --port " + pb,
                               env);
    EXPECT_EQ(
        RunCli("program --log-dir " + plain_logs.path.string() + " --port " + pa + " --port " + pb)
            .status,
        0);
    EXPECT_EQ(bench.Count(0, kCmdReadAddress), 1u);
    const Result info = RunCli("info --json --port " + pc);  // the machine's own sysfs
    EXPECT_EQ(json.status, 0) << json.err;
    const auto lines = JsonLines(json.out + info.out);
    ASSERT_EQ(lines.size(), 3u) << json.out << info.out;
    EXPECT_EQ(lines[0]["usb"]["serial"], "K7-A");
    EXPECT_EQ(lines[0]["device_address"], "00:19:01:0A:0B:0C");
    EXPECT_EQ(lines[1]["usb"]["location"], "1-2.2");
    EXPECT_EQ(lines[1]["device_address"], nullptr);
    EXPECT_EQ(lines[1]["result"], "updated");
    EXPECT_EQ(lines[2]["usb"], nullptr);
    EXPECT_EQ(lines[2]["device_address"], "00:19:01:12:34:56");
    std::vector<std::string> logs = json_logs.Files(), plain = plain_logs.Files();
    std::ranges::sort(logs), std::ranges::sort(plain);
    EXPECT_EQ(logs, plain);
}

}  // namespace
}  // namespace k7::test
