// `korvel7 doctor`: what stands between this user and a receiver, a line per check, each
// failing one with the command that fixes it; and the hint a job gives when ModemManager
// may be what kept it from a receiver.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "link/port.h"
#include "ports/ports.h"
#include "update/failure.h"

namespace k7 {

// The lines of the checks, as they are made.
class Findings {
public:
    explicit Findings(std::FILE* out) : out_(out) {}
    void Ok(const std::string& what) { Line("ok   ", what); }
    // Worth knowing, but not in the way.
    void Note(const std::string& what) { Line("--   ", what); }
    void Fail(const std::string& what, const std::string& fix);
    bool failed() const { return failed_; }

private:
    void Line(const char* tag, const std::string& text);

    std::FILE* out_;
    bool failed_ = false;
};

// The checks of the whole system; `ports` tells whether any port will be checked after.
// Implemented once per platform, as is CheckPort.
void CheckSystem(Findings& findings, bool ports);
// The checks of one port; `usb` is its USB identity, when it has one.
void CheckPort(Findings& findings, const PortRef& port, const std::optional<UsbIdentity>& usb);

// Runs the checks on `ports`, or on every USB port listed when none is given, writing the
// lines to standard output. Returns 0 when nothing stands in the way, else 1.
int Diagnose(const std::vector<PortRef>& ports);

// The command that writes the rule for the receiver on `port` into place and applies it.
std::string InstallRuleCommand(const std::string& port);

// After a job on `port` that ended with `failure`: when it found no receiver, or the port
// was busy, and ModemManager runs while the port's USB device is not marked for it to
// leave alone, one line on `err` that says so and names `korvel7 doctor`. Once per port
// per run; nothing where ModemManager does not run.
void HintModemManager(std::FILE* err, const PortRef& port, Failure failure);

}  // namespace k7
