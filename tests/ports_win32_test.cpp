// The registry port search under Wine, against device keys that each test writes below
// enumerators of its own in HKLM\SYSTEM\CurrentControlSet\Enum and removes again. Wine may
// record devices of its own there, so a test compares only the entries its keys added.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "ports/ports.h"

namespace k7 {
namespace {

constexpr char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char kPortsGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

// A registry key the test writes values into; closed when it goes.
class TestKey {
public:
    // Creates the key one level at a time: Wine's ANSI calls take at most 260 characters
    // of path, and the walk's long key names need more.
    explicit TestKey(const std::string& path) {
        HKEY parent = HKEY_LOCAL_MACHINE;
        for (std::size_t start = 0; start <= path.size();) {
            const std::size_t end = std::min(path.find('\\', start), path.size());
            const std::string name = path.substr(start, end - start);
            HKEY child = nullptr;
            const LONG result = RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                nullptr, &child, nullptr);
            if (parent != HKEY_LOCAL_MACHINE) RegCloseKey(parent);
            if (result != ERROR_SUCCESS) {
                ADD_FAILURE() << "cannot create " << path << ": error " << result;
                return;
            }
            parent = child;
            start = end + 1;
        }
        key_ = parent;
    }
    ~TestKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    // A text value stored with its terminating zero, as Windows stores them.
    TestKey& Text(const char* name, const std::string& value) {
        return Bytes(name, REG_SZ, value.c_str(), value.size() + 1);
    }
    // Exactly `count` bytes of `data`, whatever follows them.
    TestKey& Bytes(const char* name, DWORD type, const char* data, std::size_t count) {
        EXPECT_EQ(RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(data),
                                 static_cast<DWORD>(count)),
                  ERROR_SUCCESS)
            << name;
        return *this;
    }
    // The stored length of a value as the search's ANSI calls see it.
    DWORD Size(const char* name) const {
        DWORD size = 0;
        RegQueryValueExA(key_, name, nullptr, nullptr, nullptr, &size);
        return size;
    }

private:
    HKEY key_ = nullptr;
};

std::vector<std::string> Sorted(std::vector<std::string> entries) {
    std::sort(entries.begin(), entries.end());
    return entries;
}

class PortSearch : public ::testing::Test {
protected:
    void SetUp() override { before_ = ListSerialPorts(); }
    void TearDown() override {
        for (const std::string& enumerator : enumerators_)
            EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, (kEnum + enumerator).c_str()),
                      ERROR_SUCCESS)
                << enumerator;
        EXPECT_EQ(ListSerialPorts(), before_);
    }

    // The key Enum\<path>, where path is "enumerator\device\instance" (or deeper or
    // shallower, to test the walk's levels).
    TestKey Key(const std::string& path) {
        enumerators_.insert(path.substr(0, path.find('\\')));
        return TestKey(kEnum + path);
    }
    // An instance key of the Ports class with a PORTNAME, and a FRIENDLYNAME if given.
    void Port(const std::string& path, const std::string& port_name,
              const char* friendly_name = nullptr) {
        TestKey key = Key(path);
        key.Text("CLASS", "Ports").Text("PORTNAME", port_name);
        if (friendly_name != nullptr) key.Text("FRIENDLYNAME", friendly_name);
    }

    // What the search lists now beyond what it listed before the test, sorted: the search
    // keeps the registry's order, which the port list sorts anyway.
    std::vector<std::string> Added() const {
        std::vector<std::string> now = ListSerialPorts();
        for (const std::string& entry : before_) {
            const auto found = std::find(now.begin(), now.end(), entry);
            if (found != now.end()) now.erase(found);
        }
        return Sorted(now);
    }

private:
    std::vector<std::string> before_;
    std::set<std::string> enumerators_;
};

// A class test that compared only a prefix, ignored a failed (too small) read or compared
// with case would let the wrong devices through or drop the right ones.
TEST_F(PortSearch, PortsClassByNameOrGuidInAnyCaseOnly) {
    Key("K7CLASS\\NAME\\UPPER").Text("CLASS", "PORTS").Text("PORTNAME", "COM201");
    Key("K7CLASS\\NAME\\MIXED").Text("CLASS", "pOrTs").Text("PORTNAME", "COM202");
    Key("K7CLASS\\GUID\\NOCLASS")
        .Text("CLASSGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}")
        .Text("PORTNAME", "COM203");
    Key("K7CLASS\\GUID\\LONGCLASS")
        .Text("CLASS", "PortsAndModems")
        .Text("CLASSGUID", kPortsGuid)
        .Text("PORTNAME", "COM204");
    Key("K7CLASS\\GUID\\OTHERCLASS")
        .Text("CLASS", "Modem")
        .Text("CLASSGUID", kPortsGuid)
        .Text("PORTNAME", "COM205");

    Key("K7CLASS\\NOT\\PREFIXCLASS").Text("CLASS", "PortsX").Text("PORTNAME", "COM211");
    Key("K7CLASS\\NOT\\SHORTCLASS").Text("CLASS", "Port").Text("PORTNAME", "COM212");
    Key("K7CLASS\\NOT\\MODEM")
        .Text("CLASS", "Modem")
        .Text("CLASSGUID", "{4D36E96D-E325-11CE-BFC1-08002BE10318}")
        .Text("PORTNAME", "COM213");
    Key("K7CLASS\\NOT\\LONGGUID")
        .Text("CLASSGUID", std::string(kPortsGuid) + "0")
        .Text("PORTNAME", "COM214");
    Key("K7CLASS\\NOT\\NOCLASS").Text("PORTNAME", "COM215");
    Key("K7CLASS\\NOT\\HUGE")
        .Text("CLASS", std::string(5000, 'P'))
        .Text("CLASSGUID", std::string(5000, '{'))
        .Text("PORTNAME", "COM216");

    EXPECT_EQ(Added(), Sorted({"COM201", "COM202", "COM203", "COM204", "COM205"}));
}

// The instance key's PORTNAME comes first; only without it does "Device Parameters"
// count. A device with neither is skipped and the walk goes on with the next one.
TEST_F(PortSearch, PortNameFallsBackToDeviceParametersAndIsRequired) {
    Key("K7NAME\\DEV\\A_NOVALUE").Text("CLASS", "Ports").Text("FRIENDLYNAME", "No value");
    Key("K7NAME\\DEV\\A_NOVALUE\\Device Parameters").Text("PollingPeriod", "0");
    Key("K7NAME\\DEV\\B_NOPARAMS").Text("CLASS", "Ports").Text("FRIENDLYNAME", "No parameters");
    Key("K7NAME\\DEV\\C_PARAMS").Text("CLASS", "Ports").Text("FRIENDLYNAME", "From parameters");
    Key("K7NAME\\DEV\\C_PARAMS\\Device Parameters").Text("PortName", "COM220");
    Port("K7NAME\\DEV\\D_BOTH", "COM221", "Own name");
    Key("K7NAME\\DEV\\D_BOTH\\Device Parameters").Text("PortName", "COM229");

    EXPECT_EQ(Added(), Sorted({"COM220  From parameters", "COM221  Own name"}));
}

// Parallel ports share the Ports class; only names beginning with COM in any case are
// serial ports, and they are listed as the registry spells them.
TEST_F(PortSearch, OnlyComNamesListedAsSpelled) {
    Port("K7COM\\DEV\\LOWER", "com5", "USB Serial Port (com5)");
    Port("K7COM\\DEV\\MIXED", "Com12", "Modem Port");
    Port("K7COM\\DEV\\LPT", "LPT1", "Printer Port (LPT1)");
    Port("K7COM\\DEV\\VIRTUAL", "CNCA0", "Null-modem Emulator");
    Port("K7COM\\DEV\\SHORT", "CO", "Too short");

    EXPECT_EQ(Added(), Sorted({"com5    USB Serial Port (com5)", "Com12   Modem Port"}));
}

// Names of six characters and more are not cut or padded, a missing friendly name gives
// the bare port name, and a friendly name of any length is kept whole.
TEST_F(PortSearch, EntriesKeepNamesWhole) {
    const std::string long_name(2000, 'F');
    Port("K7FORM\\DEV\\0", "COM3", "Communications Port (COM3)");
    Port("K7FORM\\DEV\\1", "COM123", "Six");
    Port("K7FORM\\DEV\\2", "COM1234", "Seven");
    Port("K7FORM\\DEV\\3", "COM9");
    Port("K7FORM\\DEV\\4", "COM240", long_name.c_str());

    EXPECT_EQ(Added(), Sorted({"COM3    Communications Port (COM3)", "COM123  Six",
                               "COM1234  Seven", "COM9", "COM240  " + long_name}));
}

// Values without a terminating zero must end at their stored length: one that fills the
// first 128-byte read exactly, one that needs a second read, and binary ones. Text
// following them in memory must not show up in the entries.
TEST_F(PortSearch, UnterminatedValuesEndAtTheirStoredLength) {
    const std::string exact(128, 'E');
    const std::string longer = std::string(300, 'L');
    const std::string trailer = "#TRAILING";
    const std::string port = "COM250" + trailer;
    const std::string friendly = exact + trailer;
    const std::string guid = kPortsGuid + trailer;

    TestKey first = Key("K7RAW\\DEV\\0");
    first.Text("CLASS", "Ports")
        .Bytes("PORTNAME", REG_SZ, port.c_str(), 6)
        .Bytes("FRIENDLYNAME", REG_SZ, friendly.c_str(), exact.size());
    ASSERT_EQ(first.Size("PORTNAME"), 6u) << "stored with a terminating zero after all";
    ASSERT_EQ(first.Size("FRIENDLYNAME"), exact.size());

    Key("K7RAW\\DEV\\1")
        .Bytes("CLASS", REG_BINARY, "Ports", 5)
        .Bytes("PORTNAME", REG_BINARY, "COM251", 6)
        .Bytes("FRIENDLYNAME", REG_BINARY, (longer + trailer).c_str(), longer.size());
    Key("K7RAW\\DEV\\2")
        .Bytes("CLASSGUID", REG_BINARY, guid.c_str(), guid.size() - trailer.size())
        .Text("PORTNAME", "COM252");

    EXPECT_EQ(Added(), Sorted({"COM250  " + exact, "COM251  " + longer, "COM252"}));
}

// Every instance key of the three-level tree is one device: under several enumerators,
// after empty levels, with names longer than the first 128-byte name buffer, and the same
// port name on two devices. Keys one level above or below the instances are not devices.
TEST_F(PortSearch, WalksEveryInstanceOfTheThreeLevelTree) {
    const std::string long_enumerator = "K7WALKB" + std::string(150, 'e');
    const std::string long_device(150, 'd');
    const std::string long_instance(150, 'i');

    Key("K7WALKA\\AEMPTYDEVICE");
    Port("K7WALKA\\MULTI\\0", "COM260", "First");
    Port("K7WALKA\\MULTI\\1", "COM261", "Second");
    Port("K7WALKA\\MULTI\\2", "COM262");
    Port("K7WALKA\\SINGLE\\0", "COM263", "Single");
    Port("K7WALKA\\SINGLE\\0\\Child", "COM268", "Too deep");
    Port("K7WALKA\\FLAT", "COM269", "Too shallow");
    Key("K7WALKAEMPTY");
    Port(long_enumerator + "\\" + long_device + "\\" + long_instance, "COM260", "First again");

    EXPECT_EQ(Added(), Sorted({"COM260  First", "COM261  Second", "COM262", "COM263  Single",
                               "COM260  First again"}));
}

// Where the process's next 64 handles would end: a handle left open below that mark
// pushes it up. (Wine does not count a process's handles.)
std::uintptr_t HandleMark() {
    std::vector<HANDLE> probes(64);
    for (HANDLE& probe : probes)
        probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::uintptr_t mark = 0;
    for (HANDLE probe : probes) {
        mark = std::max(mark, reinterpret_cast<std::uintptr_t>(probe));
        CloseHandle(probe);
    }
    return mark;
}

// Each refresh of the port list runs a whole search; a key left open on any path of the
// walk would pile up handles for the life of the window.
TEST_F(PortSearch, SearchesLeaveNoRegistryKeyOpen) {
    Port("K7OPEN\\DEV\\0", "COM270", "Listed");
    Key("K7OPEN\\DEV\\1").Text("CLASS", "Ports").Text("FRIENDLYNAME", "Skipped");
    Key("K7OPEN\\DEV\\1\\Device Parameters").Text("Other", "x");
    Key("K7OPEN\\DEV\\2\\Device Parameters").Text("PortName", "COM271");
    Port("K7OPEN\\DEV\\3", "LPT2", "Skipped by name");
    Key("K7OPEN\\DEV\\4").Text("CLASS", "Ports").Text("FRIENDLYNAME", "From parameters");
    Key("K7OPEN\\DEV\\4\\Device Parameters").Text("PortName", "COM272");
    EXPECT_EQ(Added(), Sorted({"COM270  Listed", "COM272  From parameters"}));

    const std::uintptr_t mark = HandleMark();
    for (int i = 0; i < 10; ++i)
        ListSerialPorts();
    EXPECT_EQ(HandleMark(), mark);
}

}  // namespace
}  // namespace k7
