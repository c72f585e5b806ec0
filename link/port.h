// How a serial port is named: what the log calls it and what the backend opens.
#pragma once

#include <string>

namespace k7 {

struct PortRef {
    std::string label;   // in messages: "COM7" on Windows, the device path on POSIX
    std::string device;  // the name handed to OpenSerialDevice
};

// A Windows COM port by number. Names from COM10 on only open through the "\\.\" device
// namespace; below 10 the DOS name with its colon is used.
PortRef PortFromNumber(int number);

// A port by device path, as POSIX names them.
PortRef PortFromPath(const std::string& path);

// Reads a port as a user types it: "COM7", "com7" or "7" name a COM port by number; a
// name with a path separator is a device path. Returns false for anything else.
bool ParsePortArgument(const std::string& text, PortRef* port);

}  // namespace k7
