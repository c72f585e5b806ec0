#include "cli/port_reason.h"

#include "cli/terminal.h"

namespace k7 {

std::string PortOpenReason(const PortRef& port, const OpenError& error) {
    const std::string head = Printable(port.label) + ": ";
    const std::string why = " (" + error.system_text + ")";
    switch (error.failure) {
        case OpenFailure::kNone:
            return {};
        case OpenFailure::kMissing:
            return head + "no such device" + why +
                   "; 'korvel7 ports' lists this machine's serial ports";
        case OpenFailure::kPermission: {
            const std::string hint = PermissionHint(port.device);
            return head + "permission denied" + why + (hint.empty() ? "" : "; " + hint);
        }
        case OpenFailure::kBusy: {
            if (HeldHere(port.device)) return head + "busy" + why + "; this korvel7 has it open";
            const std::string holders = BusyHolders(port.device);
            return head + "busy" + why + "; " +
                   (holders.empty() ? "another program holds it" : "held by " + holders) +
                   ": close that program first";
        }
        case OpenFailure::kSettingsRefused:
            return head + "refused the line settings, 115200 baud 8N1" + why +
                   "; is it a serial port?";
        case OpenFailure::kOther:
            break;
    }
    return head + "could not be opened" + why;
}

void ReportOpenFailure(std::FILE* err, const PortRef& port, const OpenError& error) {
    const std::string reason = PortOpenReason(port, error);
    if (!reason.empty()) std::fprintf(err, "korvel7: %s\n", reason.c_str());
}

std::optional<UsbIdentity> ListedUsbIdentity(const PortRef& port,
                                             const std::vector<SerialPort>& listed) {
    for (const SerialPort& candidate : listed) {
        PortRef named;
        if (candidate.usb && ParsePortArgument(candidate.name, &named) &&
            SameDevice(named.device, port.device))
            return candidate.usb;
    }
    return std::nullopt;
}

}  // namespace k7
