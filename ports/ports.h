// The machine's serial ports as list entries: "%-6s  %s" of port name and friendly name,
// or the port name alone when there is no friendly name.
#pragma once

#include <string>
#include <vector>

namespace k7 {

// One list entry; a null friendly name gives the bare port name.
std::string PortEntry(const std::string& port_name, const char* friendly_name);

// The COM port number of a list entry: the decimal number from its fourth character on
// (after "COM"), with leading blanks and a sign allowed; no digits give 0. Entries shorter
// than four characters leave `current` as it is.
int PortNumberFromEntry(const std::string& entry, int current);

// Every serial port the system records, one entry each, in the order found. Windows: the
// registry's device tree (or serial-port map). POSIX: the tty devices in sysfs that have
// hardware behind them, named by their device path.
std::vector<std::string> ListSerialPorts();

}  // namespace k7
