// The machine's serial ports as records, and the text the port list and `korvel7 ports`
// show for one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace k7 {

// The USB device behind a port: which product it is, which unit, and where it is plugged in.
struct UsbIdentity {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::optional<std::string> serial_number;  // many adapters carry none
    // Where the device is plugged in, as the system names it. Linux: the USB device's name
    // in sysfs, bus and hub ports ("1-2.4"). Windows: the hub and port the device tree
    // records ("Port_#0004.Hub_#0001").
    std::string location;
    // Linux: the /dev/serial/by-path link that leads to the port, which also tells two
    // ports of one USB device apart; empty when there is none (and on Windows).
    std::string by_path;
};

struct SerialPort {
    std::string name;  // as spelled where it was found: COM3, /dev/ttyS0
    // The COM port number the port list takes for the port's entry: the decimal number
    // after its first three characters ("COM"), 0 when there is none; no number for an
    // entry of fewer than four characters, whose selection leaves the port as it was.
    std::optional<int> number;
    std::optional<std::string> friendly_name;  // what the system calls the device, if anything
    std::optional<UsbIdentity> usb;            // none for a port with no USB device behind it
};

// The record of a port found under `name`, with the number its list entry gives.
SerialPort SerialPortNamed(std::string name, std::optional<std::string> friendly_name = {});

// The port's line in the list: the name padded to six characters, two blanks and the
// friendly name; the bare name when there is no friendly name.
std::string PortListEntry(const SerialPort& port);

// A USB identity on one line: "USB 1209:000c serial 0042 at 1-2.4 (/dev/serial/by-path/...)".
std::string DescribeUsb(const UsbIdentity& usb);

// The port's name and its identity (or "not a USB port") on one line, for lists of
// candidates.
std::string DescribePort(const SerialPort& port);

// Every serial port the system records, in the order found. Windows: the registry's
// device tree (or serial-port map). POSIX: the tty devices in sysfs that have hardware
// behind them, named by their device path, with the identity of a USB device behind one.
std::vector<SerialPort> ListSerialPorts();

}  // namespace k7
