// Windows keeps no per-user access to COM ports and has no ModemManager: what applies is
// whether the port is there and free, which opening it tells.
#include <windows.h>

#include "cli/doctor.h"
#include "cli/port_reason.h"

namespace k7 {

void CheckSystem(Findings&, bool) {}

// A port that another program has open answers "access denied" or a sharing violation;
// it is closed again at once, before anything is sent.
void CheckPort(Findings& findings, const PortRef& port, const std::optional<UsbIdentity>& usb) {
    const std::string& label = port.label;
    bool listed = false;
    for (const SerialPort& candidate : ListSerialPorts()) {
        PortRef named;
        listed = listed || (ParsePortArgument(candidate.name, &named) && named.label == label);
    }
    findings.Note(label + ": " + (usb ? DescribeUsb(*usb) : "not a USB port") +
                  (listed ? "" : "; not in this machine's list of ports"));
    const HANDLE handle = CreateFileA(port.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return findings.Ok(label + ": it opens; no other program holds it");
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        return findings.Fail(label + ": busy: another program has it open",
                             "close that program (a terminal, another updater)");
    findings.Fail(label + ": no such port (error " + std::to_string(error) + ")",
                  "korvel7 ports (lists the ports there are)");
}

void HintModemManager(std::FILE*, const PortRef&, Failure) {}

}  // namespace k7
