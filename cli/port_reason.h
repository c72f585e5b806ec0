// The line korvel7 adds on standard error when a port does not open: the reason the system
// gave and what the user can do about it. The log keeps its "PORT not found or busy".
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "link/port.h"
#include "link/serial.h"
#include "ports/ports.h"

namespace k7 {

// The reason as one line without "korvel7: " or line end; empty when nothing failed.
std::string PortOpenReason(const PortRef& port, const OpenError& error);

// Writes "korvel7: REASON" to `err` when the open failed.
void ReportOpenFailure(std::FILE* err, const PortRef& port, const OpenError& error);

// What the platform can find out beyond the error, for a device `path`; empty when it
// finds nothing. Implemented once per platform.
std::string PermissionHint(const std::string& path);  // whose device it is, and the way in
std::string BusyHolders(const std::string& path);     // the other processes that hold it
bool HeldHere(const std::string& path);               // whether this process holds it

// Whether two device names lead to one device: a link and its target, two links. A name
// that leads nowhere is the same as no other.
bool SameDevice(const std::string& a, const std::string& b);

// The USB identity of the port in `listed` that `port` leads to (under any of its names);
// none when it is not listed or not a USB port.
std::optional<UsbIdentity> ListedUsbIdentity(const PortRef& port,
                                             const std::vector<SerialPort>& listed);

}  // namespace k7
