#include "cli/doctor.h"

#include "cli/exit_status.h"
#include "cli/port_reason.h"
#include "cli/terminal.h"
#include "cli/udev.h"

namespace k7 {

void Findings::Fail(const std::string& what, const std::string& fix) {
    failed_ = true;
    Line("FAIL ", what + "; fix: " + fix);
}

void Findings::Line(const char* tag, const std::string& text) {
    std::fprintf(out_, "%s%s\n", tag, Printable(text).c_str());
}

std::string InstallRuleCommand(const std::string& port) {
    return "korvel7 udev-rule --port " + port + " | sudo tee " + kRuleFile +
           " >/dev/null && sudo udevadm control --reload && sudo udevadm trigger";
}

int Diagnose(const std::vector<PortRef>& given) {
    const std::vector<SerialPort> listed = ListSerialPorts();
    std::vector<PortRef> ports = given;
    if (ports.empty()) {
        for (const SerialPort& port : listed) {
            PortRef named;
            if (port.usb && ParsePortArgument(port.name, &named)) ports.push_back(named);
        }
    }
    Findings findings(stdout);
    CheckSystem(findings, !ports.empty());
    if (ports.empty()) findings.Note("no USB serial port is plugged in");
    for (const PortRef& port : ports)
        CheckPort(findings, port, ListedUsbIdentity(port, listed));
    return findings.failed() ? kExitFailed : kExitOk;
}

}  // namespace k7
