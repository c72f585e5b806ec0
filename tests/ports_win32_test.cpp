// The registry port search under Wine, against device keys that each test writes below
// enumerators of its own in HKLM\SYSTEM\CurrentControlSet\Enum and removes again. Wine may
// record devices of its own there, so a test compares only the entries its keys added.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "ports/ports.h"
#include "ports/watcher.h"

namespace k7 {
namespace {

constexpr char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char kPortsGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

struct Value {
    const char* name;
    std::string data;
    DWORD type = REG_SZ;
    bool terminated = true;  // stored with a terminating zero, as Windows stores text
};
// Exactly the bytes of `data`, without a terminating zero.
Value Raw(const char* name, std::string data, DWORD type = REG_SZ) {
    return {name, std::move(data), type, false};
}

// A key below Enum, "enumerator\device\instance" for a device (or deeper or shallower, to
// test the walk's levels).
struct Device {
    std::string path;
    std::vector<Value> values;
};
// An instance of the Ports class with a PORTNAME, and a FRIENDLYNAME if given.
Device Port(std::string path, std::string port_name, const char* friendly_name = nullptr) {
    Device device{std::move(path), {{"CLASS", "Ports"}, {"PORTNAME", std::move(port_name)}}};
    if (friendly_name != nullptr) device.values.push_back({"FRIENDLYNAME", friendly_name});
    return device;
}

// Creates the key one level at a time (Wine's ANSI calls take at most 260 characters of
// path, and the walk's long key names need more) and writes its values.
void Write(const Device& device) {
    const std::string path = kEnum + device.path;
    HKEY key = HKEY_LOCAL_MACHINE;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        HKEY child = nullptr;
        const LONG result = RegCreateKeyExA(key, path.substr(start, end - start).c_str(), 0,
                                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr);
        if (key != HKEY_LOCAL_MACHINE) RegCloseKey(key);
        ASSERT_EQ(result, ERROR_SUCCESS) << "cannot create " << path;
        key = child;
        start = end + 1;
    }
    for (const Value& value : device.values) {
        const auto size = static_cast<DWORD>(value.data.size() + (value.terminated ? 1 : 0));
        // Windows counts in the zero after a text value that the caller "forgot"; a byte
        // that is no zero follows the unterminated ones.
        const std::string bytes = value.data + (value.terminated ? "" : "#");
        EXPECT_EQ(RegSetValueExA(key, value.name, 0, value.type,
                                 reinterpret_cast<const BYTE*>(bytes.c_str()), size),
                  ERROR_SUCCESS);
        DWORD stored = 0;
        RegQueryValueExA(key, value.name, nullptr, nullptr, nullptr, &stored);
        EXPECT_EQ(stored, size) << device.path << " " << value.name << ": stored otherwise";
    }
    RegCloseKey(key);
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

// The port list's entries (or another text of each port), sorted (the port list sorts
// anyway).
using Text = std::string (*)(const SerialPort&);
std::vector<std::string> ListedEntries(Text text) {
    std::vector<std::string> entries;
    for (const SerialPort& port : ListSerialPorts())
        entries.push_back(text(port));
    std::ranges::sort(entries);
    return entries;
}

// Writes the devices, compares what the search lists beyond what it listed before and
// removes them again (below the USB enumerator, which Wine may use too, only their device
// keys). Each refresh of the port list runs a whole search, so a key left open on any path
// of the walk would pile up handles.
void ExpectAdded(const std::vector<Device>& devices, std::vector<std::string> expected,
                 Text text = PortListEntry) {
    const std::vector<std::string> before = ListedEntries(text);
    std::set<std::string> enumerators;
    for (const Device& device : devices) {
        const std::size_t end = device.path.find('\\');
        enumerators.insert(device.path.substr(
            0, device.path.starts_with("USB\\") ? device.path.find('\\', end + 1) : end));
        Write(device);
    }
    std::vector<std::string> added;
    std::ranges::set_difference(ListedEntries(text), before, std::back_inserter(added));
    std::ranges::sort(expected);
    EXPECT_EQ(added, expected);

    const std::uintptr_t mark = HandleMark();
    for (int i = 0; i < 10; ++i)
        ListSerialPorts();
    EXPECT_EQ(HandleMark(), mark);
    for (const std::string& enumerator : enumerators)
        EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, (kEnum + enumerator).c_str()), ERROR_SUCCESS);
}

// A class test that compared only a prefix, ignored a failed (too small) read or compared
// with case would let the wrong devices through or drop the right ones.
TEST(PortSearch, PortsClassByNameOrGuidInAnyCaseOnly) {
    const std::string huge(5000, 'P');
    ExpectAdded(
        {{"K7CLASS\\YES\\0", {{"CLASS", "pOrTs"}, {"PORTNAME", "COM201"}}},
         {"K7CLASS\\YES\\1",
          {{"CLASSGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}"}, {"PORTNAME", "COM202"}}},
         {"K7CLASS\\YES\\2",
          {{"CLASS", "Modem"}, {"CLASSGUID", kPortsGuid}, {"PORTNAME", "COM203"}}},
         {"K7CLASS\\NO\\0", {{"CLASS", "PortsX"}, {"PORTNAME", "COM211"}}},
         {"K7CLASS\\NO\\1", {{"CLASS", "Port"}, {"PORTNAME", "COM212"}}},
         {"K7CLASS\\NO\\2", {{"CLASSGUID", std::string(kPortsGuid) + "0"}, {"PORTNAME", "COM213"}}},
         {"K7CLASS\\NO\\3", {{"PORTNAME", "COM214"}}},
         {"K7CLASS\\NO\\4", {{"CLASS", huge}, {"CLASSGUID", huge}, {"PORTNAME", "COM215"}}}},
        {"COM201", "COM202", "COM203"});
}

// The instance key's PORTNAME comes first; only without it does "Device Parameters"
// count. A device with neither, or with a name that is no COM port name (parallel ports
// share the class), is skipped and the walk goes on. Names are listed as spelled, and a
// missing friendly name gives the bare port name. Values without a terminating zero end at
// their stored length: one that fills the first 128-byte read exactly, one that needs a
// second read, and binary ones.
TEST(PortSearch, PortNamesAndFriendlyNames) {
    const std::string exact(128, 'E');
    const std::string longer(300, 'L');
    ExpectAdded(
        {{"K7NAME\\DEV\\A", {{"CLASS", "Ports"}, {"FRIENDLYNAME", "No value"}}},
         {"K7NAME\\DEV\\A\\Device Parameters", {{"PollingPeriod", "0"}}},
         {"K7NAME\\DEV\\B", {{"CLASS", "Ports"}, {"FRIENDLYNAME", "No parameters"}}},
         {"K7NAME\\DEV\\C", {{"CLASS", "Ports"}, {"FRIENDLYNAME", "From parameters"}}},
         {"K7NAME\\DEV\\C\\Device Parameters", {{"PortName", "COM220"}}},
         Port("K7NAME\\DEV\\D", "COM221", "Own name"),
         {"K7NAME\\DEV\\D\\Device Parameters", {{"PortName", "COM229"}}},
         Port("K7NAME\\DEV\\E", "LPT1", "Printer Port (LPT1)"),
         Port("K7NAME\\DEV\\F", "CO", "Too short"),
         Port("K7NAME\\DEV\\G", "com5", "USB Serial Port (com5)"),
         Port("K7NAME\\DEV\\J", "COM9"),
         {"K7RAW\\DEV\\0",
          {{"CLASS", "Ports"}, Raw("PORTNAME", "COM250"), Raw("FRIENDLYNAME", exact)}},
         {"K7RAW\\DEV\\1",
          {Raw("CLASS", "Ports", REG_BINARY), Raw("PORTNAME", "COM251", REG_BINARY),
           Raw("FRIENDLYNAME", longer, REG_BINARY)}},
         {"K7RAW\\DEV\\2", {Raw("CLASSGUID", kPortsGuid, REG_BINARY), {"PORTNAME", "COM252"}}}},
        {"COM220  From parameters", "COM221  Own name", "com5    USB Serial Port (com5)", "COM9",
         "COM250  " + exact, "COM251  " + longer, "COM252"});
}

// Every instance key of the three-level tree is one device: under several enumerators,
// after empty levels, with names longer than the first 128-byte name buffer, and the same
// port name on two devices. Keys one level above or below the instances are not devices.
TEST(PortSearch, WalksEveryInstanceOfTheThreeLevelTree) {
    const std::string long_path = "K7WALKB" + std::string(150, 'e') + "\\" + std::string(150, 'd') +
                                  "\\" + std::string(150, 'i');
    ExpectAdded({{"K7WALKA\\AEMPTYDEVICE", {}},
                 Port("K7WALKA\\MULTI\\0", "COM260", "First"),
                 Port("K7WALKA\\MULTI\\1", "COM261", "Second"),
                 Port("K7WALKA\\SINGLE\\0", "COM263", "Single"),
                 Port("K7WALKA\\SINGLE\\0\\Child", "COM268", "Too deep"),
                 Port("K7WALKA\\FLAT", "COM269", "Too shallow"),
                 {"K7WALKAEMPTY", {}},
                 Port(long_path, "COM260", "First again")},
                {"COM260  First", "COM261  Second", "COM263  Single", "COM260  First again"});
}

// A port of the USB enumerator has the vendor and product id of its device key, the serial
// number its instance key names (none when Windows made that name up, with '&') and the
// location its key records. Other enumerators' ports named after the USB ids get the ids
// only; a malformed id, or no ids, make no USB port.
TEST(PortSearch, UsbIdentityFromTheDeviceTree) {
    const Value location = {"LocationInformation", "Port_#0004.Hub_#0001"};
    ExpectAdded(
        {{"USB\\VID_1209&PID_000C\\0042", {{"CLASS", "Ports"}, {"PORTNAME", "COM240"}, location}},
         Port("USB\\vid_0403&pid_6001&MI_00\\6&2c6b4f2&0&0000", "COM241"),
         Port("K7FTDIBUS\\VID_0403+PID_6015+A50285BIA\\0000", "COM242"),
         Port("USB\\VID_12&PID_345678\\X", "COM243"),
         Port("USB\\VID_1209&PID_01AG\\X", "COM244"),
         Port("K7ACPI\\PNP0501\\1", "COM245")},
        {"COM240  USB 1209:000c serial 0042 at Port_#0004.Hub_#0001",
         "COM241  USB 0403:6001 without serial", "COM242  USB 0403:6015 without serial",
         "COM243  not a USB port", "COM244  not a USB port", "COM245  not a USB port"},
        DescribePort);
}

// Ports come and go in the map of the serial ports that exist now; the watcher reports
// them as the registry signals each change (not by polling), and ignores names that are no
// COM port.
TEST(PortWatcher, SeesPortsComeAndGoInTheSerialPortMap) {
    HKEY map = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &map, nullptr),
              ERROR_SUCCESS);
    PortWatcher watcher;
    const auto set = [&](const char* name, const char* port) {
        RegSetValueExA(map, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                       static_cast<DWORD>(std::strlen(port) + 1));
    };
    set("\\Device\\K7Other", "LPT7");
    set("\\Device\\K7Serial0", "com231");
    const auto start = GetTickCount();
    EXPECT_EQ(watcher.Wait(std::chrono::milliseconds(3000)).appeared,
              std::vector<std::string>{"com231"});
    EXPECT_LT(GetTickCount() - start, 200u);  // signalled, not found by polling
    RegDeleteValueA(map, "\\Device\\K7Serial0");
    RegDeleteValueA(map, "\\Device\\K7Other");
    EXPECT_EQ(watcher.Wait(std::chrono::milliseconds(3000)).disappeared,
              std::vector<std::string>{"com231"});
    RegCloseKey(map);
    // Idle, the watcher sleeps: the process spends next to no processor time in a wait.
    const auto cpu_ms = [] {
        FILETIME created, ended, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
        const auto ms = [](FILETIME t) {
            return (ULONGLONG{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 10000;
        };
        return ms(kernel) + ms(user);
    };
    const auto cpu_before = cpu_ms();
    EXPECT_TRUE(watcher.Wait(std::chrono::milliseconds(500)).empty());
    EXPECT_LT(cpu_ms() - cpu_before, 50u);
    // Two wakes before an endless wait end it at once, and end that one wait only.
    watcher.Wake(), watcher.Wake();
    const auto woken = GetTickCount();
    EXPECT_TRUE(watcher.Wait(kWaitForever).empty());
    EXPECT_LT(GetTickCount() - woken, 200u);
    EXPECT_TRUE(watcher.Wait(std::chrono::milliseconds(300)).empty());
    EXPECT_GE(GetTickCount() - woken, 250u);
}

}  // namespace
}  // namespace k7
