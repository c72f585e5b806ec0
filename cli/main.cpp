// korvel7: the updater's jobs from a terminal. The log goes to standard output exactly
// as the window's log pane receives it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/about.h"
#include "cli/commands.h"
#include "cli/doctor.h"
#include "cli/exit_status.h"
#include "cli/jobs.h"
#include "cli/json.h"
#include "cli/port_reason.h"
#include "cli/signals.h"
#include "cli/station.h"
#include "cli/terminal.h"
#include "cli/udev.h"
#include "link/link.h"
#include "link/port.h"
#include "log/log.h"
#include "ports/ports.h"
#include "ports/selector.h"
#include "service/address.h"
#include "update/firmware_version.h"
#include "update/update_worker.h"

namespace {

using k7::kExitFailed;
using k7::kExitNotFound;
using k7::kExitOk;
using k7::kExitUsage;

// The problem, and the lines under it that list candidates, each made printable.
int Usage(const char* problem) {
    std::string text = "korvel7: ";
    std::string_view rest = problem;
    for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos;
         rest.remove_prefix(end + 1))
        text += k7::Printable(rest.substr(0, end)) + "\n";
    std::fprintf(stderr, "%s%s\nTry 'korvel7 --help'.\n", text.c_str(),
                 k7::Printable(rest).c_str());
    return kExitUsage;
}

// A port as typed, or the one port of this machine that serial:SN or location:LOC picks
// (`listed` holds the machine's ports once one was asked for).
bool ResolvePort(const std::string& value, std::optional<std::vector<k7::SerialPort>>* listed,
                 k7::PortRef* port, std::string* error) {
    std::string name = value;
    if (const std::optional<k7::PortSelector> selector = k7::ParsePortSelector(value)) {
        if (!*listed) *listed = k7::ListSerialPorts();
        const k7::SelectedPort selected = k7::SelectPort(*selector, **listed);
        if (!selected.port) {
            *error = selected.error;
            return false;
        }
        name = selected.port->name;
    }
    if (k7::ParsePortArgument(name, port)) return true;
    *error = "'" + name + "' is not a serial port (use COMn, n or a device path)";
    return false;
}

// The ports of every --port, each checked and given once: two jobs on one receiver would
// fight over it.
bool ParsePorts(const std::vector<std::string>& values, std::vector<k7::PortRef>* ports,
                std::string* error) {
    if (values.empty()) {
        *error = "--port PORT is required";
        return false;
    }
    std::optional<std::vector<k7::SerialPort>> listed;
    for (const std::string& value : values) {
        k7::PortRef port;
        if (!ResolvePort(value, &listed, &port, error)) return false;
        for (std::size_t i = 0; i < ports->size(); ++i) {
            if (k7::SameDevice((*ports)[i].device, port.device)) {
                *error = "--port " + values[i] + " and --port " + value +
                         " name the same port; give each receiver once";
                return false;
            }
        }
        ports->push_back(port);
    }
    return true;
}

// How a job shows itself on the terminal, and what `program` demands of the receiver.
using Output = k7::JobOptions;

// What a command that talks to a receiver was given.
struct Call {
    std::vector<k7::PortRef> ports;
    Output output;
    std::vector<std::string> fields;
    bool bind_serial = false;  // udev-rule --serial
};

// The ports first, then any option the command does not take (a value missing at the end,
// or given to a flag, reads as such an option too), then arguments where it takes none.
// On a terminal `program`, and any job on several ports, shows its progress unless told
// otherwise.
bool ParseCall(const k7::Subcommand& command, const std::vector<std::string>& args, Call* call,
               std::string* error) {
    const k7::args::Parsed parsed = k7::args::Parse(command.options, args);
    if (!ParsePorts(parsed.Values("--port", command.options), &call->ports, error)) return false;
    if (parsed.problem != k7::args::Problem::kNone) {
        *error =
            "unknown option '" + parsed.problem_arg + "' for '" + std::string(command.name) + "'";
        return false;
    }
    if (command.positionals.empty() && !parsed.positionals.empty()) {
        *error = "unexpected argument '" + parsed.positionals.front() + "'";
        return false;
    }
    Output& output = call->output;
    output.progress = command.job && (command.name == "program" || call->ports.size() > 1) &&
                      k7::IsTerminal(stderr);
    for (const k7::args::Given& given : parsed.given) {
        const std::string_view name = command.options[given.option].name;
        if (name == "--log-dir") output.log_dir = given.value;
        if (name == "--quiet") output.quiet = true;
        if (name == "--progress" || name == "--no-progress") output.progress = name == "--progress";
        if (name == "--json") output.json = true;
        if (name == "--strict") output.strict = true;
        if (name == "--skip-if-current") output.skip_if_current = true;
        if (name == "--serial") call->bind_serial = true;
    }
    if (output.quiet || output.json) output.progress = false;
    call->fields = parsed.positionals;
    return true;
}

// With --quiet the log says nothing, so a job that did not succeed says so here.
int Report(const Output& output, int status, const std::string& what) {
    if (output.quiet && status != kExitOk)
        std::fprintf(stderr, "korvel7: %s\n", k7::Printable(what).c_str());
    return status;
}

// The fields as the window takes them: exactly two hexadecimal digits each.
int SetAddress(const k7::PortRef& port, const std::vector<std::string>& fields,
               const Output& output) {
    k7::InputAddress address;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i >= fields.size() || !k7::ParseHexPair(fields[i], &address[i])) {
            k7::LogPrintf("INPUT N.G.\r\n");
            return Report(output, kExitUsage,
                          "INPUT N.G.: each field takes two hexadecimal digits");
        }
    }
    k7::LogPrintf("INPUT ADDRESS = %02X:%02X:%02X\r\n", unsigned{address[0]}, unsigned{address[1]},
                  unsigned{address[2]});
    k7::Link link;
    const k7::Failure failure = k7::AddressWorker(link, port, address);
    k7::ReportOpenFailure(stderr, port, link.LastOpenError());
    switch (k7::ExitStatus(failure)) {
        case kExitOk:
            return kExitOk;
        case kExitFailed:
            return Report(output, kExitFailed, "the address was not confirmed on " + port.label);
    }
    return Report(output, kExitNotFound, port.label + " could not be opened");
}

int ReadVersion(const k7::PortRef& port, const Output& output) {
    k7::Link link;
    if (link.OpenComPort(port) == 0) {
        k7::ReportOpenFailure(stderr, port, link.LastOpenError());
        return Report(output, kExitNotFound, port.label + " could not be opened");
    }
    k7::FirmwareVersion version;
    const bool ok = k7::QueryFirmwareVersion(link, &version) == k7::Exchange::kAnswered;
    link.CloseComPort();
    if (!ok) {
        k7::LogNoExistingVersion();
        return Report(output, kExitFailed, "no firmware version from " + port.label);
    }
    k7::LogExistingVersion(version);
    return kExitOk;
}

// version and address talk to one receiver and write no log files.
bool TakesOnePort(const k7::Subcommand& command, const Call& call, std::string* error) {
    if (call.ports.size() == 1 && call.output.log_dir.empty()) return true;
    *error = std::string("'").append(command.name) + "' takes one --port and no --log-dir";
    return false;
}

bool AsksForHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

}  // namespace

namespace k7 {

int RunJob(const Subcommand& command, const std::vector<std::string>& args) {
    Call call;
    std::string error;
    if (!ParseCall(command, args, &call, &error)) return Usage(error.c_str());
    WarnOfPlaceholders(stderr);
    call.output.kind = command.name == "program" ? JobKind::kProgram
                       : command.name == "info"  ? JobKind::kInfo
                                                 : JobKind::kVerify;
    return RunJobs(call.ports, call.output);
}

int RunVersion(const Subcommand& command, const std::vector<std::string>& args) {
    Call call;
    std::string error;
    if (!ParseCall(command, args, &call, &error)) return Usage(error.c_str());
    WarnOfPlaceholders(stderr);
    if (!TakesOnePort(command, call, &error)) return Usage(error.c_str());
    StdoutLogSink sink;
    SetLogSink(call.output.quiet ? nullptr : &sink);
    return ReadVersion(call.ports.front(), call.output);
}

int RunAddress(const Subcommand& command, const std::vector<std::string>& args) {
    Call call;
    std::string error;
    if (!ParseCall(command, args, &call, &error)) return Usage(error.c_str());
    if (call.fields.size() != 3) return Usage("address takes three fields, XX XX XX");
    WarnOfPlaceholders(stderr);
    if (!TakesOnePort(command, call, &error)) return Usage(error.c_str());
    StdoutLogSink sink;
    SetLogSink(call.output.quiet ? nullptr : &sink);
    return SetAddress(call.ports.front(), call.fields, call.output);
}

int RunStation(const Subcommand& command, const std::vector<std::string>& args) {
    const args::Parsed parsed = args::Parse(command.options, args, false);
    if (parsed.problem != args::Problem::kNone)
        return Usage(("unknown option '" + parsed.problem_arg + "' for 'station'").c_str());
    StationOptions options;
    options.patterns = parsed.Values("--watch", command.options);
    options.include_present = parsed.Has("--include-present", command.options);
    const auto last = [&](std::string_view name) {
        const std::vector<std::string> values = parsed.Values(name, command.options);
        return values.empty() ? std::string() : values.back();
    };
    options.ledger = last("--ledger");
    JobOptions& job = options.job;
    job.read_address = !options.ledger.empty();
    job.log_dir = last("--log-dir");
    job.json = parsed.Has("--json", command.options);
    job.strict = parsed.Has("--strict", command.options);
    job.skip_if_current = parsed.Has("--skip-if-current", command.options);
    job.quiet = parsed.Has("--quiet", command.options);
    // The slots' live lines take the place of each job's bar, unless JSON lines would
    // run through them on the same terminal.
    job.progress = IsTerminal(stderr) && !(job.json && IsTerminal(stdout));
    WarnOfPlaceholders(stderr);
    return RunStationLoop(options);
}

// A line per port: its list entry and, for a USB port, who it is; or a JSON object.
int RunPorts(const Subcommand& command, const std::vector<std::string>& args) {
    const args::Parsed parsed = args::Parse(command.options, args);
    if (parsed.problem != args::Problem::kNone)
        return Usage(("unknown option '" + parsed.problem_arg + "' for 'ports'").c_str());
    if (!parsed.positionals.empty())
        return Usage((std::string("'").append(command.name) + "' takes no arguments").c_str());
    const bool json = parsed.Has("--json", command.options);
    for (const SerialPort& port : ListSerialPorts()) {
        if (json)
            std::fputs(PortJsonLine(port).c_str(), stdout);
        else
            std::printf("%s%s\n", PortListEntry(port).c_str(),
                        port.usb ? ("  " + DescribeUsb(*port.usb)).c_str() : "");
    }
    return kExitOk;
}

// Every --port given, none for the whole machine.
int RunDoctor(const Subcommand& command, const std::vector<std::string>& args) {
    const args::Parsed parsed = args::Parse(command.options, args);
    if (parsed.problem != args::Problem::kNone)
        return Usage(("unknown option '" + parsed.problem_arg + "' for 'doctor'").c_str());
    if (!parsed.positionals.empty()) return Usage("'doctor' takes no arguments");
    const std::vector<std::string> values = parsed.Values("--port", command.options);
    std::vector<PortRef> ports;
    std::string error;
    if (!values.empty() && !ParsePorts(values, &ports, &error)) return Usage(error.c_str());
    return Diagnose(ports);
}

int RunUdevRule(const Subcommand& command, const std::vector<std::string>& args) {
    Call call;
    std::string error;
    if (!ParseCall(command, args, &call, &error)) return Usage(error.c_str());
    if (call.ports.size() != 1) return Usage("'udev-rule' takes one --port");
    const PortRef& port = call.ports.front();
    std::string rule;
    if (const std::optional<UsbIdentity> usb = ListedUsbIdentity(port, ListSerialPorts()))
        rule = UdevRuleFile(*usb, call.bind_serial, &error);
    else
        error =
            "no USB device: a udev rule names a receiver by its USB vendor and product id "
            "('korvel7 ports' shows them)";
    if (rule.empty()) {
        std::fprintf(stderr, "korvel7: %s: %s\n", Printable(port.label).c_str(),
                     Printable(error).c_str());
        return kExitFailed;
    }
    std::fputs(rule.c_str(), stdout);
    return kExitOk;
}

// The overview, or the usage of the one command named.
int RunHelp(const Subcommand&, const std::vector<std::string>& args) {
    const Subcommand* named = args.size() == 1 ? FindCommand(args.front()) : nullptr;
    std::fputs((named != nullptr ? CommandUsage(*named) : Overview()).c_str(), stdout);
    return kExitOk;
}

}  // namespace k7

int main(int argc, char** argv) {
    k7::OpenClosedStandardDescriptors();
    k7::IgnoreLostOutput();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no command given");
    const std::string name = args.front();
    args.erase(args.begin());
    if (name == "--version") {
        k7::PrintVersion(stdout);
        return kExitOk;
    }
    // For the package, which installs it as the completion of korvel7.
    if (name == "--bash-completion") {
        std::fputs(k7::CompletionScript().c_str(), stdout);
        return kExitOk;
    }
    const k7::Subcommand* command = k7::FindCommand(name);
    if (command != nullptr && AsksForHelp(args)) {
        std::fputs(k7::CommandUsage(*command).c_str(), stdout);
        return kExitOk;
    }
    if (name == "-h" || name == "--help") {
        std::fputs(k7::Overview().c_str(), stdout);
        return kExitOk;
    }
    if (command == nullptr) return Usage(("unknown command '" + name + "'").c_str());
    return command->run(*command, args);
}
