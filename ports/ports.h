// The machine's serial ports as records, and the text the port list and `korvel7 ports`
// show for one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace k7 {

// The USB device behind a port.
struct UsbIdentity {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial_number;
};

struct SerialPort {
    std::string name;  // as spelled where it was found: COM3, /dev/ttyS0
    // The COM port number the port list takes for the port's entry: the decimal number
    // after its first three characters ("COM"), 0 when there is none; no number for an
    // entry of fewer than four characters, whose selection leaves the port as it was.
    std::optional<int> number;
    std::optional<std::string> friendly_name;  // what the system calls the device, if anything
    std::optional<UsbIdentity> usb;            // not looked up by the searches yet
};

// The record of a port found under `name`, with the number its list entry gives.
SerialPort SerialPortNamed(std::string name, std::optional<std::string> friendly_name = {});

// The port's line in the list: the name padded to six characters, two blanks and the
// friendly name; the bare name when there is no friendly name.
std::string PortListEntry(const SerialPort& port);

// Every serial port the system records, in the order found. Windows: the registry's
// device tree (or serial-port map). POSIX: the tty devices in sysfs that have hardware
// behind them, named by their device path.
std::vector<SerialPort> ListSerialPorts();

}  // namespace k7
