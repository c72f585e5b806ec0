#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "link/port.h"
#include "ports/ports.h"
#include "ports/sysfs.h"

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

// A sysfs tree in miniature: a USB adapter, a fitted UART, an empty UART slot and a
// virtual console.
TEST(PortSearchSysfs, ListsHardwarePortsWithUsbNames) {
    const fs::path root = fs::temp_directory_path() / ("korvel7-sysfs-" + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path usb = root / "devices/usb1/1-1";
    Write(usb / "manufacturer", "Acme");
    Write(usb / "product", "GPS Receiver");
    fs::create_directories(usb / "1-1:1.0");
    fs::create_directories(root / "devices/platform/serial8250");

    const fs::path cls = root / "class/tty";
    fs::create_directories(cls / "ttyACM0");
    fs::create_directory_symlink(usb / "1-1:1.0", cls / "ttyACM0/device");
    Write(cls / "ttyS0/type", "4");
    fs::create_directory_symlink(root / "devices/platform/serial8250", cls / "ttyS0/device");
    Write(cls / "ttyS1/type", "0");
    fs::create_directory_symlink(root / "devices/platform/serial8250", cls / "ttyS1/device");
    fs::create_directories(cls / "tty1");

    std::vector<std::string> entries;
    for (const SerialPort& port : ListSerialPortsIn(cls.string(), "/dev"))
        entries.push_back(PortListEntry(port));
    EXPECT_EQ(entries, (std::vector<std::string>{"/dev/ttyACM0  Acme GPS Receiver (ttyACM0)",
                                                 "/dev/ttyS0"}));
    fs::remove_all(root);
}

}  // namespace
}  // namespace k7
