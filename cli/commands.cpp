#include "cli/commands.h"

namespace k7 {

namespace {

using args::Option;

// Usage and the overview put option help at this column, and command summaries at the next.
constexpr std::size_t kOptionColumn = 18;
constexpr std::size_t kSummaryColumn = 24;

constexpr Option kPort{"--port", "PORT",
                       "the receiver's serial port: COM7 or 7 on Windows, a device path\n"
                       "such as /dev/ttyACM0 on Linux; or serial:SN, location:LOC for the\n"
                       "one USB port with that serial number or plugged in there"};
constexpr Option kProgress{"--progress", "",
                           "progress on standard error: a bar for one port, a live line per\n"
                           "port for several (the default on a terminal for program, and\n"
                           "for any job on several ports)"};
constexpr Option kNoProgress{"--no-progress", "", "no progress on standard error"};
constexpr Option kLogDir{"--log-dir", "DIR",
                         "also write each port's whole log to a new file\n"
                         "DIR/<port>-<date-time>.log (-2, -3, ... when taken); DIR is checked\n"
                         "first (exit 64), and a log not written whole fails its job"};
// version and address take --log-dir only to refuse it with a message that says why.
constexpr Option kNoLogDir{"--log-dir", "DIR", ""};
constexpr Option kJson{"--json", "",
                       "one JSON object per port on standard output instead of the log\n"
                       "(or the list of ports)"};
constexpr Option kStrict{"--strict", "",
                         "the receiver's own check of the image must answer, or the update\n"
                         "counts as failed"};
constexpr Option kSkipIfCurrent{"--skip-if-current", "",
                                "read the receiver's image back first, and write nothing when it\n"
                                "already holds the built-in image byte for byte"};
constexpr Option kQuiet{"--quiet", "",
                        "no log, only errors: \"PORT not found or busy\" on standard output,\n"
                        "and one line on standard error when the job did not succeed"};

constexpr Option kWatch{"--watch", "GLOB",
                        "watch the ports whose names match GLOB (* and ? in its last part;\n"
                        "COM* on Windows); repeatable. Default: /dev/ttyACM* and\n"
                        "/dev/ttyUSB* on Linux, every COM port on Windows"};
constexpr Option kIncludePresent{"--include-present", "",
                                 "also update the receivers plugged in before the start"};
constexpr Option kLedger{"--ledger", "FILE",
                         "append one JSON line per finished job to FILE, flushed to the\n"
                         "disk as it ends; a FILE that cannot be opened is refused (exit 64)"};

constexpr Option kSerial{"--serial", "",
                         "bind the rule to the one receiver on PORT by its USB serial\n"
                         "number (and link it as /dev/korvel7-SN)"};

constexpr Option kProgramOptions[] = {kPort, kProgress, kNoProgress,    kLogDir,
                                      kJson, kStrict,   kSkipIfCurrent, kQuiet};
constexpr Option kJobOptions[] = {kPort, kProgress, kNoProgress, kLogDir, kJson, kQuiet};
constexpr Option kStationOptions[] = {kWatch,  kIncludePresent, kLedger,        kJson,
                                      kLogDir, kStrict,         kSkipIfCurrent, kQuiet};
constexpr Option kOnePortOptions[] = {kPort, kNoLogDir, kQuiet};
constexpr Option kPortsOptions[] = {kJson};
constexpr Option kDoctorOptions[] = {kPort};
constexpr Option kUdevRuleOptions[] = {kPort, kSerial};

constexpr char kSeveralPorts[] =
    "\nWith --port given more than once, the job runs on every receiver at once, each on\n"
    "its own thread.\n";
constexpr char kJobExit[] =
    "  with several ports: 0 only when every port succeeded, 2 when no receiver was\n"
    "  found on any, else 1\n";

// The commands, in the order the overview and the completion list them.
constexpr Subcommand kCommands[] = {
    {"program", "--port PORT...", "", kProgramOptions, true,
     "find the receiver on PORT and install the firmware built\n"
     "into this program (about 25 to 45 seconds)",
     "Finds the receiver on PORT and installs the firmware built into this program\n"
     "(about 25 to 45 seconds): asks for its firmware version, picks image A (major 1\n"
     "or 2) or B (major 3), erases, writes and reads back every block, compares the\n"
     "whole image, has the receiver check size and sum, and orders the reset. The log\n"
     "goes to standard output with CR LF line ends.\n",
     "  0 \"Update successful\", 1 \"Update not successful\", 2 \"KORVEL7 not found\"\n"
     "  (the port did not open, or no receiver talks on it), 64 usage error\n",
     RunJob},
    {"info", "--port PORT...", "", kJobOptions, true,
     "find the receiver, read its version and address and name\n"
     "the image program would install; changes nothing",
     "Finds the receiver, reads its firmware version and device address, and says which\n"
     "built-in image 'program' would install, or that it would refuse the version.\n"
     "Nothing is erased, written, checked or reset.\n",
     "  0 the receiver answered, 1 it did not answer everything, 2 not found,\n"
     "  64 usage error\n",
     RunJob},
    {"verify", "--port PORT...", "", kJobOptions, true,
     "read back the receiver's image and compare it with the\n"
     "built-in one; changes nothing",
     "Reads back the whole image the receiver should hold, as the update does, and says\n"
     "whether it matches the built-in image or lists the differences (about 10 s).\n"
     "Nothing is erased, written, checked or reset.\n",
     "  0 matches, 1 differs or a read failed, 2 not found, 64 usage error\n", RunJob},
    {"station", "", "", kStationOptions, false,
     "update each receiver as it is plugged in, until Ctrl-C;\n"
     "a line per job in a ledger",
     "Watches for ports that appear and updates each KORVEL7 plugged in, as program does,\n"
     "each on its own thread; a slot runs again once its port went away and came back.\n"
     "A receiver that comes back at its slot within 10 s of the reset order is the same\n"
     "receiver: its new version is read, and it is not updated again. Ports present at\n"
     "the start, and ports where no receiver answers, are left alone until unplugged.\n"
     "On a terminal a line per slot shows its state and PASS or FAIL; otherwise a line\n"
     "per event goes to standard output (a JSON object per job with --json). Ctrl-C or\n"
     "SIGTERM stops the jobs under way and writes a summary to standard error.\n",
     "  0 every job succeeded, 1 a job failed, was stopped or found no KORVEL7,\n"
     "  64 usage error, or a ledger or log directory that cannot be written\n",
     RunStation},
    {"version", "--port PORT", "", kOnePortOptions, false,
     "ask the receiver for its firmware version",
     "Asks the receiver on PORT for its firmware version; changes nothing on it.\n",
     "  0 the version was read, 1 the receiver did not give it, 2 the port did not\n"
     "  open, 64 usage error\n",
     RunVersion},
    {"address", "--port PORT", "XX XX XX", kOnePortOptions, false,
     "write the receiver's device address 00:19:01:XX:XX:XX\n"
     "(each XX two hexadecimal digits) and read it back",
     "Writes the receiver's device address 00:19:01:XX:XX:XX, waits a second, reads it\n"
     "back and compares. Each XX is exactly two hexadecimal digits; anything else gives\n"
     "\"INPUT N.G.\" and nothing is sent.\n",
     "  0 \"PROGRAM OK\", 1 the address was not confirmed, 2 the port did not open,\n"
     "  64 usage error or \"INPUT N.G.\"\n",
     RunAddress},
    {"ports", "", "", kPortsOptions, false, "list the serial ports of this machine",
     "Lists this machine's serial ports, one a line: the name padded to six characters,\n"
     "two blanks and the friendly name, or the bare name when there is none, then for a\n"
     "USB port its vendor and product id, serial number, location and by-path link.\n"
     "Windows: the registry's ports, as the window lists them; Linux: the tty devices\n"
     "with hardware behind them, named after their USB strings.\n",
     "  0\n", RunPorts},
    {"doctor", "[--port PORT]", "", kDoctorOptions, false,
     "check what stands between this user and a receiver, and\n"
     "say how to fix it",
     "Checks what stands between this user and the receiver on PORT, or every USB serial\n"
     "port when no --port is given, one line each (ok, -- for a note, FAIL with the\n"
     "command that fixes it). Linux: whether ModemManager runs and the device is marked\n"
     "ID_MM_DEVICE_IGNORE in udev's database, whether this user may read and write the\n"
     "device (owner, group, mode, uaccess ACL), which program holds it, and whether a udev\n"
     "rule for it is installed, numbered below 73. Windows: whether the port is there and\n"
     "free. Nothing is sent to the receiver.\n",
     "  0 nothing stands in the way, 1 something does, 64 usage error\n", RunDoctor},
    {"udev-rule", "--port PORT", "", kUdevRuleOptions, false,
     "print a udev rule that lets the user at the seat open the\n"
     "receiver on PORT and keeps ModemManager off it",
     "Prints a udev rule for the receiver on PORT, by its USB vendor and product id: the\n"
     "user logged in at the seat may open it (uaccess), so may group dialout, ModemManager\n"
     "leaves it alone, and /dev/korvel7-<kernel name> (with --serial /dev/korvel7-SN)\n"
     "leads to it. Its header says where it goes (/etc/udev/rules.d/70-korvel7.rules)\n"
     "and how to reload udev.\n",
     "  0 the rule was printed, 1 PORT is no USB device, or --serial and its device has no\n"
     "  serial number or one a rule cannot carry safely, 64 usage error\n",
     RunUdevRule},
    {"help",
     "",
     "[COMMAND]",
     {},
     false,
     "show this text (also -h, --help), or one command's usage\n"
     "(also korvel7 COMMAND --help)",
     "Shows the overview of all commands, or one command's usage as 'korvel7 COMMAND\n"
     "--help' does.\n",
     "  0\n",
     RunHelp},
};

// "program --port PORT... [--progress] ...": the command, what it requires, its other
// options (or just "[OPTIONS]" where `brief`) and its positionals, wrapped under the name.
std::string CommandSynopsis(const Subcommand& command, std::size_t indent, bool brief) {
    std::string options = args::Synopsis(command.options, "--port");
    if (brief && !options.empty()) options = "[OPTIONS]";
    std::string text(command.name);
    for (const std::string_view part :
         {command.required, std::string_view(options), command.positionals}) {
        if (!part.empty()) text.append(" ").append(part);
    }
    return args::Wrap(text, indent + command.name.size() + 1);
}

// Help lines indented to `column`, the first one beside the last line of `line` when that
// leaves room.
std::string Beside(std::string line, std::string_view help, std::size_t column) {
    const std::size_t last = line.rfind('\n');
    const std::size_t width = last == std::string::npos ? line.size() : line.size() - last - 1;
    line += width < column ? std::string(column - width, ' ') : "\n" + std::string(column, ' ');
    for (const char c : help)
        line += c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, c);
    return line + "\n";
}

}  // namespace

const Subcommand* FindCommand(std::string_view name) {
    for (const Subcommand& command : kCommands) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

std::string CommandUsage(const Subcommand& command) {
    std::string usage = "usage: korvel7 " + CommandSynopsis(command, 15, false) + "\n\n";
    usage += command.description;
    if (command.job) usage += kSeveralPorts;
    usage += "\noptions:\n";
    usage += args::OptionHelp(command.options, kOptionColumn);
    usage += "  -h, --help      show this text\n\nexit status:\n";
    usage += command.exit_status;
    if (command.job) usage += kJobExit;
    return usage;
}

std::string Overview() {
    std::string text =
        "usage: korvel7 COMMAND [OPTIONS]\n"
        "\n"
        "Talks to a KORVEL7 GPS receiver on a serial port.\n"
        "\n"
        "commands:\n";
    for (const Subcommand& command : kCommands)
        text += Beside("  " + CommandSynopsis(command, 2, true), command.summary, kSummaryColumn);
    text += Beside("  --version",
                   "show this program's version and the firmware images it\n"
                   "carries: size, 16-bit sum and SHA-256 of each",
                   kSummaryColumn);

    // Each option once, as the first command that takes it describes it, and the commands
    // that take it.
    std::vector<Option> options;
    std::vector<std::string> helps;
    for (const Subcommand& command : kCommands) {
        for (const Option& option : command.options) {
            if (option.help.empty()) continue;
            std::size_t i = 0;
            while (i < options.size() && options[i].name != option.name)
                ++i;
            if (i == options.size()) {
                options.push_back(option);
                helps.push_back(std::string(option.help) + "\n(");
            } else {
                helps[i] += ", ";
            }
            helps[i] += command.name;
        }
    }
    for (std::size_t i = 0; i < options.size(); ++i)
        options[i].help = helps[i] += ")";
    text += "\noptions:\n" + args::OptionHelp(options, kOptionColumn);
    text +=
        "\n"
        "PORT names the receiver's serial port: COM7 or 7 on Windows, a device path such as\n"
        "/dev/ttyACM0 on Linux; serial:SN or location:LOC names the one USB port whose\n"
        "device has that serial number or is plugged in at that location (as 'korvel7\n"
        "ports' shows them).\n"
        "\n"
        "The log is written to standard output with CR LF line ends. A port that cannot be\n"
        "opened is reported on standard output as \"PORT not found or busy\". With --quiet\n"
        "there is no log and no bar, only errors: that report, and a line on standard error\n"
        "when the job did not succeed.\n"
        "\n"
        "exit status:\n"
        "  0   done: \"Update successful\", the version was read, or \"PROGRAM OK\"\n"
        "  1   \"Update not successful\", no version, or the address was not confirmed\n"
        "  2   \"KORVEL7 not found\": the port could not be opened, or no receiver talks on it\n"
        "  64  usage error, or \"INPUT N.G.\" for an address field\n";
    return text;
}

std::string CompletionScript() {
    std::string names;
    for (const Subcommand& command : kCommands)
        names.append(names.empty() ? "" : " ").append(command.name);
    std::vector<args::CompletionEntry> entries;
    for (const Subcommand& command : kCommands)
        entries.push_back({command.name, command.options,
                           command.name == "help" ? std::string_view(names) : std::string_view()});
    return args::BashCompletion("korvel7", entries, "--help --version");
}

}  // namespace k7
