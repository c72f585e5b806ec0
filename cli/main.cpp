// korvel7: the updater's jobs from a terminal. The log goes to standard output exactly
// as the window's log pane receives it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/about.h"
#include "cli/exit_status.h"
#include "cli/jobs.h"
#include "cli/port_reason.h"
#include "cli/signals.h"
#include "cli/terminal.h"
#include "link/link.h"
#include "link/port.h"
#include "log/log.h"
#include "ports/ports.h"
#include "service/address.h"
#include "update/firmware_version.h"
#include "update/update_worker.h"

namespace {

using k7::kExitFailed;
using k7::kExitNotFound;
using k7::kExitOk;
using k7::kExitUsage;

const char kUsage[] =
    "usage: korvel7 COMMAND [OPTIONS]\n"
    "\n"
    "Talks to a KORVEL7 GPS receiver on a serial port.\n"
    "\n"
    "commands:\n"
    "  program --port PORT [--progress | --no-progress] [--strict]\n"
    "                        find the receiver on PORT and install the firmware built\n"
    "                        into this program (about 25 to 45 seconds); with\n"
    "                        --progress (the default when standard error is a\n"
    "                        terminal) a progress bar on standard error; with\n"
    "                        --strict the receiver's own check of the image must\n"
    "                        answer, or the update counts as failed\n"
    "  info --port PORT      find the receiver, read its version and address and name\n"
    "                        the image program would install; changes nothing\n"
    "  verify --port PORT    read back the receiver's image and compare it with the\n"
    "                        built-in one; changes nothing\n"
    "  version --port PORT   ask the receiver for its firmware version\n"
    "  address --port PORT XX XX XX\n"
    "                        write the receiver's device address 00:19:01:XX:XX:XX\n"
    "                        (each XX two hexadecimal digits) and read it back\n"
    "  ports                 list the serial ports of this machine\n"
    "  help [COMMAND]        show this text (also -h, --help), or one command's usage\n"
    "                        (also korvel7 COMMAND --help)\n"
    "  --version             show this program's version and the firmware images it\n"
    "                        carries: size, 16-bit sum and SHA-256 of each\n"
    "\n"
    "PORT names the receiver's serial port: COM7 or 7 on Windows, a device path such as\n"
    "/dev/ttyACM0 on Linux.\n"
    "\n"
    "The log is written to standard output with CR LF line ends. A port that cannot be\n"
    "opened is reported on standard output as \"PORT not found or busy\". With --quiet\n"
    "(program, version, address) there is no log and no bar, only errors: that report,\n"
    "and a line on standard error when the job did not succeed.\n"
    "\n"
    "exit status:\n"
    "  0   done: \"Update successful\", the version was read, or \"PROGRAM OK\"\n"
    "  1   \"Update not successful\", no version, or the address was not confirmed\n"
    "  2   \"KORVEL7 not found\": the port could not be opened, or no receiver talks on it\n"
    "  64  usage error, or \"INPUT N.G.\" for an address field\n";

int Usage(const char* problem) {
    std::fprintf(stderr, "korvel7: %s\nTry 'korvel7 --help'.\n", k7::Printable(problem).c_str());
    return kExitUsage;
}

// Reads every "--port PORT" (or "--port=PORT") and "--log-dir DIR" from the arguments
// after the command; the other arguments go to `rest`. Two names for one port are refused:
// two jobs on one receiver would fight over it.
bool ParsePortOptions(const std::vector<std::string>& args, std::vector<k7::PortRef>* ports,
                      std::string* log_dir, std::vector<std::string>* rest, std::string* error) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" && i + 1 < args.size()) {
            values.push_back(args[++i]);
        } else if (args[i].rfind("--port=", 0) == 0) {
            values.push_back(args[i].substr(7));
        } else if (args[i] == "--log-dir" && i + 1 < args.size()) {
            *log_dir = args[++i];
        } else if (args[i].rfind("--log-dir=", 0) == 0) {
            *log_dir = args[i].substr(10);
        } else {
            rest->push_back(args[i]);
        }
    }
    if (values.empty()) {
        *error = "--port PORT is required";
        return false;
    }
    for (const std::string& value : values) {
        k7::PortRef port;
        if (!k7::ParsePortArgument(value, &port)) {
            *error = "'" + value + "' is not a serial port (use COMn, n or a device path)";
            return false;
        }
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

bool IsJob(const std::string& command) {
    return command == "program" || command == "info" || command == "verify";
}

// Takes --quiet, and for the jobs --progress / --no-progress and --json, and for
// `program` --strict and --skip-if-current, out of `rest`. On a terminal `program`, and
// any job on several ports, shows its progress unless told otherwise.
bool ParseOutputOptions(const std::string& command, std::size_t port_count,
                        std::vector<std::string>* rest, Output* output, std::string* error) {
    output->progress =
        (command == "program" || (IsJob(command) && port_count > 1)) && k7::IsTerminal(stderr);
    std::vector<std::string> others;
    for (const std::string& arg : *rest) {
        if (arg == "--quiet") {
            output->quiet = true;
        } else if (IsJob(command) && (arg == "--progress" || arg == "--no-progress")) {
            output->progress = arg == "--progress";
        } else if (IsJob(command) && arg == "--json") {
            output->json = true;
        } else if (command == "program" && arg == "--strict") {
            output->strict = true;
        } else if (command == "program" && arg == "--skip-if-current") {
            output->skip_if_current = true;
        } else if (arg.rfind("--", 0) == 0) {
            *error = "unknown option '" + arg + "' for '" + command + "'";
            return false;
        } else {
            others.push_back(arg);
        }
    }
    *rest = std::move(others);
    if (output->quiet || output->json) output->progress = false;
    return true;
}

// With --quiet the log says nothing, so a job that did not succeed says so here.
int Report(const Output& output, int status, const std::string& what) {
    if (output.quiet && status != kExitOk)
        std::fprintf(stderr, "korvel7: %s\n", k7::Printable(what).c_str());
    return status;
}

int RunPorts() {
    for (const k7::SerialPort& port : k7::ListSerialPorts())
        std::printf("%s\n", k7::PortListEntry(port).c_str());
    return kExitOk;
}

// The fields as the window takes them: exactly two hexadecimal digits each.
int RunAddress(const k7::PortRef& port, const std::vector<std::string>& fields,
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

int RunVersion(const k7::PortRef& port, const Output& output) {
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

}  // namespace

int main(int argc, char** argv) {
    k7::OpenClosedStandardDescriptors();
    k7::IgnoreLostOutput();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no command given");
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--version") {
        k7::PrintVersion(stdout);
        return kExitOk;
    }
    if (k7::PrintCommandHelp(command, args, stdout)) return kExitOk;
    if (command == "help" || command == "-h" || command == "--help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }

    if (command == "ports") {
        if (!args.empty()) return Usage("'ports' takes no arguments");
        return RunPorts();
    }
    if (IsJob(command) || command == "version" || command == "address") {
        std::string error;
        std::vector<k7::PortRef> ports;
        std::vector<std::string> rest;
        Output output;
        if (!ParsePortOptions(args, &ports, &output.log_dir, &rest, &error) ||
            !ParseOutputOptions(command, ports.size(), &rest, &output, &error))
            return Usage(error.c_str());
        if (command == "address" && rest.size() != 3)
            return Usage("address takes three fields, XX XX XX");
        if (command != "address" && !rest.empty())
            return Usage(("unexpected argument '" + rest.front() + "'").c_str());
        k7::WarnOfPlaceholders(stderr);
        if (IsJob(command)) {
            output.kind = command == "program" ? k7::JobKind::kProgram
                          : command == "info"  ? k7::JobKind::kInfo
                                               : k7::JobKind::kVerify;
            return k7::RunJobs(ports, output);
        }
        if (ports.size() > 1 || !output.log_dir.empty())
            return Usage(("'" + command + "' takes one --port and no --log-dir").c_str());
        const k7::PortRef& port = ports.front();
        k7::StdoutLogSink sink;
        k7::SetLogSink(output.quiet ? nullptr : &sink);
        return command == "address" ? RunAddress(port, rest, output) : RunVersion(port, output);
    }
    return Usage(("unknown command '" + command + "'").c_str());
}
