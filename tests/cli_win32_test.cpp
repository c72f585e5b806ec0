// The Windows korvel7.exe as a user runs it under Wine: its standard output byte for byte
// and its exit status, against the native simulator that tools/wine-run.sh serves on COM7.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "tests/expected_log.h"
#include "update/firmware_update.h"

namespace k7 {
namespace {

struct Result {
    DWORD status = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

// Wine shows the Linux file system as drive Z:.
std::string WindowsPath(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path.front() == '\\' ? "Z:" + path : path;
}

// An anonymous pipe whose write end a child inherits.
class Pipe {
public:
    Pipe() {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&read_, &write_, &inherit, 0)) read_ = write_ = nullptr;
        if (read_ != nullptr) SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
    }
    ~Pipe() {
        CloseWriteEnd();
        if (read_ != nullptr) CloseHandle(read_);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool Valid() const { return read_ != nullptr; }
    HANDLE WriteEnd() const { return write_; }
    // Once the child holds the only write end, a read ends when the child does.
    void CloseWriteEnd() {
        if (write_ != nullptr) CloseHandle(write_);
        write_ = nullptr;
    }
    void ReadAll(std::string* text) const {
        char buffer[4096];
        DWORD count = 0;
        while (ReadFile(read_, buffer, sizeof buffer, &count, nullptr) && count > 0)
            text->append(buffer, count);
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};

// Runs korvel7.exe with `arguments` and collects both output streams; the time limit only
// guards against a hang.
Result RunCli(const std::string& arguments) {
    Result result;
    Pipe out, err;
    if (!out.Valid() || !err.Valid()) {
        ADD_FAILURE() << "cannot create the output pipes: error " << GetLastError();
        return result;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.WriteEnd();
    startup.hStdError = err.WriteEnd();
    const std::string program = WindowsPath(KORVEL7_CLI);
    std::string command = "\"" + program + "\" " + arguments;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &child)) {
        ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
        return result;
    }
    out.CloseWriteEnd();
    err.CloseWriteEnd();
    std::thread err_reader([&] { err.ReadAll(&result.err); });
    std::thread out_reader([&] { out.ReadAll(&result.out); });
    if (WaitForSingleObject(child.hProcess, 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "korvel7 " << arguments << " still runs after 60 s";
        TerminateProcess(child.hProcess, 0xFFFFFFFF);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    out_reader.join();
    err_reader.join();
    GetExitCodeProcess(child.hProcess, &result.status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return result;
}

// A text-mode stdout or a lost, doubled or reordered message shows up as a difference
// somewhere in the 25 block lines; the probe wait and the pause before the receiver's
// check are the product's own.
TEST(CliWin32, ProgramOnCom7PrintsTheWholeLogByteForByte) {
    const Result r = RunCli("program --port COM7");
    EXPECT_EQ(r.status, 0u) << r.err;
    EXPECT_EQ(r.out, test::SuccessLog("COM7", "2.4.5", BuiltInImages().a));
    EXPECT_EQ(r.err, "");
}

TEST(CliWin32, MissingPortReportsNotFoundAndExits2) {
    const Result r = RunCli("program --port COM42");
    EXPECT_EQ(r.status, 2u);
    EXPECT_EQ(r.out,
              "\r\nEntered COM PORT : COM42\r\n"
              "COM42 not found or busy\r\n"
              "KORVEL7 not found\r\n");
}

// A script reading the log must never see a usage message in it.
TEST(CliWin32, UsageErrorsExit64WithNothingOnStdout) {
    for (const char* arguments : {"", "program", "program --port COMx", "flash --port COM7"}) {
        const Result r = RunCli(arguments);
        EXPECT_EQ(r.status, 64u) << "'" << arguments << "'";
        EXPECT_EQ(r.out, "") << "'" << arguments << "'";
        EXPECT_NE(r.err.find("korvel7 --help"), std::string::npos) << "'" << arguments << "'";
    }
}

// A port that only the registry knows of proves the listing comes from the registry and
// reaches standard output as a Windows text line.
TEST(CliWin32, PortsPrintsTheRegistryPortsOnePerLine) {
    const char* path = "SYSTEM\\CurrentControlSet\\Enum\\KORVEL7CLI\\GPS\\0";
    HKEY device = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &device, nullptr),
              ERROR_SUCCESS);
    for (const auto& [name, value] : {std::pair{"CLASS", "Ports"},
                                      {"PORTNAME", "COM77"},
                                      {"FRIENDLYNAME", "KORVEL7 GPS (COM77)"}})
        EXPECT_EQ(RegSetValueExA(device, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                 static_cast<DWORD>(std::strlen(value) + 1)),
                  ERROR_SUCCESS);
    RegCloseKey(device);

    const Result r = RunCli("ports");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\KORVEL7CLI");
    EXPECT_EQ(r.status, 0u);
    const std::size_t line = r.out.find("COM77   KORVEL7 GPS (COM77)\r\n");
    ASSERT_NE(line, std::string::npos) << r.out;
    EXPECT_TRUE(line == 0 || r.out[line - 1] == '\n') << r.out;
    EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace k7
