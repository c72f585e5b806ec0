#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "link/port.h"
#include "ports/ports.h"
#include "ports/selector.h"
#include "ports/sysfs.h"
#include "ports/watcher.h"

namespace k7 {
namespace {

namespace fs = std::filesystem;

TEST(PortName, DosNameBelowTenDeviceNamespaceFromTenAndArguments) {
    EXPECT_EQ(PortFromNumber(9).device, "COM9:");
    EXPECT_EQ(PortFromNumber(10).device, "\\\\.\\COM10");
    EXPECT_EQ(PortFromNumber(76).label, "COM76");
    PortRef port;
    ASSERT_TRUE(ParsePortArgument("COM7", &port));
    EXPECT_EQ(port.device, "COM7:");
    ASSERT_TRUE(ParsePortArgument("com12", &port));
    EXPECT_EQ(port.label, "COM12");
    ASSERT_TRUE(ParsePortArgument("3", &port));
    EXPECT_EQ(port.label, "COM3");
    ASSERT_TRUE(ParsePortArgument("/dev/ttyUSB0", &port));
    EXPECT_EQ(port.label, "/dev/ttyUSB0");
    EXPECT_EQ(port.device, "/dev/ttyUSB0");
    for (const char* refused : {"", "COM", "COMx", "9999999999"})
        EXPECT_FALSE(ParsePortArgument(refused, &port)) << refused;
}

// An entry pads a short name to six, then two blanks. The number is read from the entry's
// fourth character on, as the list always has; an entry of three characters or fewer gives
// none, and its selection changes nothing.
TEST(PortEntry, PadsShortNamesAndReadsTheNumberFromTheFourthCharacter) {
    EXPECT_EQ(PortListEntry(SerialPortNamed("COM3", "Communications Port (COM3)")),
              "COM3    Communications Port (COM3)");
    EXPECT_EQ(PortListEntry(SerialPortNamed("COM123", "X")), "COM123  X");
    EXPECT_EQ(PortListEntry(SerialPortNamed("/dev/ttyACM0", "GPS")), "/dev/ttyACM0  GPS");
    EXPECT_EQ(PortListEntry(SerialPortNamed("COM3", "")), "COM3    ");
    EXPECT_EQ(PortListEntry(SerialPortNamed("COM3")), "COM3");
    EXPECT_EQ(SerialPortNamed("COM76", "USB (COM9)").number, 76);
    EXPECT_EQ(SerialPortNamed("com5").number, 5);
    EXPECT_EQ(SerialPortNamed("COM5x").number, 5);
    EXPECT_EQ(SerialPortNamed("COM-3").number, -3);
    EXPECT_EQ(SerialPortNamed("COMx").number, 0);
    EXPECT_EQ(SerialPortNamed("COM", "1").number, 1);  // "COM     1"
    EXPECT_EQ(SerialPortNamed("COM99999999999").number, INT_MAX);
    EXPECT_EQ(SerialPortNamed("COM").number, std::nullopt);
}

void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// A directory of the test's own, removed with what it holds.
struct Scratch {
    const fs::path root = fs::temp_directory_path() / ("korvel7-ports-" + std::to_string(getpid()));
    Scratch() { fs::remove_all(root), fs::create_directories(root); }
    ~Scratch() { fs::remove_all(root); }
};

// A sysfs tree in miniature: an ACM receiver (behind a hub, which is a USB device too) with a
// serial number and a by-path link, a USB-serial adapter without one, a fitted UART, an empty
// UART slot and a virtual console. Every USB device up to the root hub has ids; the port's
// identity is the nearest one's.
TEST(PortSearchSysfs, ListsHardwarePortsWithUsbNamesAndIdentity) {
    const Scratch scratch;
    const fs::path& root = scratch.root;
    const auto usb_device = [&](const std::string& dir, const char* vid, const char* pid) {
        Write(root / dir / "idVendor", vid), Write(root / dir / "idProduct", pid);
        return root / dir;
    };
    usb_device("devices/usb1", "1d6b", "0002");
    Write(usb_device("devices/usb1/1-2", "05e3", "0610") / "product", "USB2.0 Hub");
    const fs::path receiver = usb_device("devices/usb1/1-2/1-2.4", "1209", "000c");
    Write(receiver / "manufacturer", "Acme"), Write(receiver / "product", "GPS Receiver");
    Write(receiver / "serial", "0042");
    const fs::path adapter = usb_device("devices/usb1/1-3", "0403", "6001");
    Write(adapter / "product", "FT232R USB UART");
    fs::create_directories(receiver / "1-2.4:1.0");
    fs::create_directories(adapter / "1-3:1.0/ttyUSB0");
    fs::create_directories(root / "devices/platform/serial8250");

    const fs::path cls = root / "class/tty";
    const auto tty = [&](const char* name, const fs::path& device, const char* type) {
        fs::create_directories(cls / name);
        fs::create_directory_symlink(device, cls / name / "device");
        if (*type != '\0') Write(cls / name / "type", type);
    };
    tty("ttyACM0", receiver / "1-2.4:1.0", "");
    tty("ttyUSB0", adapter / "1-3:1.0/ttyUSB0", "");
    tty("ttyS0", root / "devices/platform/serial8250", "4");
    tty("ttyS1", root / "devices/platform/serial8250", "0");
    fs::create_directories(cls / "tty1");
    const fs::path by_path = root / "dev/serial/by-path";
    fs::create_directories(by_path);
    fs::create_symlink("../../ttyACM0", by_path / "pci-0000:00:14.0-usb-0:2.4:1.0");
    fs::create_symlink("../../ttyUSB9", by_path / "pci-0000:00:14.0-usb-0:3:1.0");

    std::vector<std::string> entries;
    for (const SerialPort& port :
         ListSerialPortsIn(cls.string(), (root / "dev").string(), by_path.string())) {
        std::string entry = PortListEntry(port) + " | " + DescribePort(port);
        for (std::size_t at; (at = entry.find(root.string())) != std::string::npos;)
            entry.replace(at, root.string().size(), "R");
        entries.push_back(entry);
    }
    EXPECT_EQ(entries,
              (std::vector<std::string>{
                  "R/dev/ttyACM0  Acme GPS Receiver (ttyACM0) | R/dev/ttyACM0  USB 1209:000c "
                  "serial 0042 at 1-2.4 (R/dev/serial/by-path/pci-0000:00:14.0-usb-0:2.4:1.0)",
                  "R/dev/ttyS0 | R/dev/ttyS0  not a USB port",
                  "R/dev/ttyUSB0  FT232R USB UART (ttyUSB0) | R/dev/ttyUSB0  USB 0403:6001 "
                  "without serial at 1-3"}));
}

SerialPort UsbPort(const char* name, std::optional<std::string> serial, const char* location,
                   const char* by_path = "") {
    SerialPort port = SerialPortNamed(name);
    port.usb = UsbIdentity{0x1209, 0x000c, std::move(serial), location, by_path};
    return port;
}

// One match gives the port; none or several give what was asked and the candidates: every
// USB port when none matched, the matching ones when several did. A serial number is never
// taken for a location or the other way round.
TEST(PortSelector, PicksTheOnePortOrListsTheCandidates) {
    const std::vector<SerialPort> ports = {
        UsbPort("/dev/ttyACM0", "0042", "1-2.4", "/dev/serial/by-path/pci-usb-0:2.4:1.0"),
        UsbPort("/dev/ttyACM1", "0042", "1-2.3"),
        UsbPort("/dev/ttyACM2", "K7-0001", "1-2.2"),
        UsbPort("/dev/ttyUSB0", std::nullopt, "1-3", "/dev/serial/by-path/pci-usb-0:3:1.0"),
        UsbPort("/dev/ttyUSB1", std::nullopt, "1-3", "/dev/serial/by-path/pci-usb-0:3:1.1"),
        SerialPortNamed("/dev/ttyS0")};
    const struct {
        const char* argument;
        const char* port_or_first_line;
        std::size_t candidates;
    } cases[] = {
        {"serial:K7-0001", "/dev/ttyACM2", 0},
        {"location:1-2.4", "/dev/ttyACM0", 0},
        {"location:pci-usb-0:3:1.1", "/dev/ttyUSB1", 0},
        {"location:/dev/serial/by-path/pci-usb-0:2.4:1.0", "/dev/ttyACM0", 0},
        {"serial:0042", "2 ports have USB serial 0042", 2},
        {"location:1-3", "2 ports are at USB location 1-3", 2},
        {"serial:1-2.2", "no port has USB serial 1-2.2", 5},
        {"location:K7-0001", "no port is at USB location K7-0001", 5},
    };
    for (const auto& c : cases) {
        const SelectedPort selected = SelectPort(*ParsePortSelector(c.argument), ports);
        const std::string text = selected.port ? selected.port->name : selected.error;
        EXPECT_EQ(text.substr(0, text.find('\n')), c.port_or_first_line) << c.argument;
        EXPECT_EQ(std::ranges::count(text, '\n'), c.candidates) << c.argument;
    }
    EXPECT_EQ(SelectPort(*ParsePortSelector("location:1-3"), ports).error,
              "2 ports are at USB location 1-3\n"
              "  /dev/ttyUSB0  USB 1209:000c without serial at 1-3 "
              "(/dev/serial/by-path/pci-usb-0:3:1.0)\n"
              "  /dev/ttyUSB1  USB 1209:000c without serial at 1-3 "
              "(/dev/serial/by-path/pci-usb-0:3:1.1)");
    EXPECT_EQ(SelectPort(*ParsePortSelector("serial:0042"), {SerialPortNamed("COM1")}).error,
              "no port has USB serial 0042; no port of this machine is a USB port");
    for (const char* plain : {"COM7", "7", "/dev/ttyACM0", "serial:", "location:"})
        EXPECT_FALSE(ParsePortSelector(plain)) << plain;
}

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Runs `make` on a thread of its own `delay` after a wait of 2 s begins: what the wait
// reported and how long it took.
template <typename Make>
std::pair<PortChanges, milliseconds> ChangeSeen(PortWatcher& watcher, milliseconds delay,
                                                Make make) {
    const auto start = Clock::now();
    std::thread maker([&] { std::this_thread::sleep_for(delay), make(); });
    PortChanges changes = watcher.Wait(milliseconds(2000));
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    maker.join();
    return {changes, took};
}

// Names made in a watched directory, removed or moved out of it (files, and symlinks as a simulator
// makes them, dangling or not) are reported as soon as they change, long before a 250 ms poll would
// see them; names that match no pattern, and the ports present at the start, are not. A wait that
// sees nothing sleeps until its timeout.
TEST(PortWatcher, ReportsMatchingNamesAsTheyComeAndGo) {
    const Scratch scratch;
    const fs::path& dir = scratch.root;
    Write(dir / "ttyK7old", ""), Write(dir / "away/other", "");
    PortWatcher watcher({(dir / "ttyK7*").string(), (dir / "ttyQ?").string()});
    EXPECT_EQ(watcher.initial(), std::vector<std::string>{(dir / "ttyK7old").string()});
    const std::string a = (dir / "ttyK7a").string(), b = (dir / "ttyQ1").string();
    const std::vector<std::pair<std::function<void()>, PortChanges>> steps = {
        {[&] { Write(dir / "other", ""), fs::create_symlink("/dev/null", a); }, {{a}, {}}},
        {[&] { fs::create_symlink(dir / "none", b), Write(dir / "ttyQ12", ""); }, {{b}, {}}},
        {[&] { fs::remove(a); }, {{}, {a}}},
        {[&] { fs::rename(b, dir / "away/ttyQ1"); }, {{}, {b}}},
    };
    for (const auto& [make, expected] : steps) {
        const auto [changes, took] = ChangeSeen(watcher, milliseconds(30), make);
        EXPECT_EQ(changes.appeared, expected.appeared);
        EXPECT_EQ(changes.disappeared, expected.disappeared);
        EXPECT_LT(took, milliseconds(200));
    }
    const std::clock_t cpu = std::clock();
    const auto [nothing, took] =
        ChangeSeen(watcher, milliseconds(0), [&] { Write(dir / "x", ""); });
    EXPECT_TRUE(nothing.empty());
    EXPECT_GE(took, milliseconds(2000));
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 20);  // asleep, not looking again and again
}

// A pattern's directory that does not exist yet is looked for until it does, then watched.
TEST(PortWatcher, SeesPortsInADirectoryMadeLater) {
    const Scratch scratch;
    const fs::path sub = scratch.root / "by-id";
    PortWatcher watcher({(sub / "k7-*").string()});
    const auto make = [&] { fs::create_directory(sub), Write(sub / "k7-1", ""); };
    const auto [changes, took] = ChangeSeen(watcher, milliseconds(100), make);
    EXPECT_EQ(changes.appeared, std::vector<std::string>{(sub / "k7-1").string()});
    EXPECT_LT(took, milliseconds(1000));
    const auto [later, _] = ChangeSeen(watcher, milliseconds(30), [&] { Write(sub / "k7-2", ""); });
    EXPECT_EQ(later.appeared, std::vector<std::string>{(sub / "k7-2").string()});
}

// A wake from another thread ends the wait under way at once; one that comes between two
// waits ends the next; each ends one wait only, so an endless wait then sleeps again.
TEST(PortWatcher, AWakeEndsOneWaitAtOnce) {
    const Scratch scratch;
    PortWatcher watcher({(scratch.root / "ttyK7*").string()});
    const auto [changes, took] = ChangeSeen(watcher, milliseconds(50), [&] { watcher.Wake(); });
    EXPECT_TRUE(changes.empty());
    EXPECT_LT(took, milliseconds(500));
    watcher.Wake(), watcher.Wake();
    const auto start = Clock::now();
    EXPECT_TRUE(watcher.Wait(kWaitForever).empty());
    EXPECT_LT(Clock::now() - start, milliseconds(100));
    const auto [_, slept] = ChangeSeen(watcher, milliseconds(300), [&] { watcher.Wake(); });
    EXPECT_GE(slept, milliseconds(300));
}

}  // namespace
}  // namespace k7
