#include "cli/about.h"

#include <cstring>
#include <string_view>

#include "korvel7_version.h"

namespace k7 {

namespace {

// One command's usage: what it does, its own options, and which shared options it takes:
// every command that talks to a receiver takes --port and --quiet; the jobs (program,
// info, verify) take --port more than once, and their output options.
enum class Kind { kLocal, kTalks, kJob };

struct CommandHelp {
    const char* command;
    Kind kind;
    const char* text;
    const char* options;
    const char* exit_status;
};

constexpr char kPortHelp[] =
    "  --port PORT     the receiver's serial port: COM7 or 7 on Windows, a device path\n"
    "                  such as /dev/ttyACM0 on Linux\n";
constexpr char kJobHelp[] =
    "                  (more than once: every receiver at once, each on its own thread)\n"
    "  --progress      progress on standard error: a bar for one port, a live line per\n"
    "                  port for several (the default on a terminal for program, and\n"
    "                  for any job on several ports)\n"
    "  --no-progress   no progress on standard error\n"
    "  --log-dir DIR   also write each port's whole log to DIR/<port>-<date-time>.log\n"
    "  --json          one JSON object per port on standard output instead of the log\n";
constexpr char kQuietHelp[] =
    "  --quiet         no log, only errors: \"PORT not found or busy\" on standard output,\n"
    "                  and one line on standard error when the job did not succeed\n";
constexpr char kJobExit[] =
    "  with several ports: 0 only when every port succeeded, 2 when no receiver was\n"
    "  found on any, else 1\n";

constexpr CommandHelp kCommands[] = {
    {"program", Kind::kJob,
     "usage: korvel7 program --port PORT... [--strict] [--skip-if-current] [OPTIONS]\n"
     "\n"
     "Finds the receiver on PORT and installs the firmware built into this program\n"
     "(about 25 to 45 seconds): asks for its firmware version, picks image A (major 1\n"
     "or 2) or B (major 3), erases, writes and reads back every block, compares the\n"
     "whole image, has the receiver check size and sum, and orders the reset. The log\n"
     "goes to standard output with CR LF line ends.\n",
     "  --strict        the receiver's own check of the image must answer, or the update\n"
     "                  counts as failed\n"
     "  --skip-if-current\n"
     "                  read the receiver's image back first, and write nothing when it\n"
     "                  already holds the built-in image byte for byte\n",
     "  0 \"Update successful\", 1 \"Update not successful\", 2 \"KORVEL7 not found\"\n"
     "  (the port did not open, or no receiver talks on it), 64 usage error\n"},
    {"info", Kind::kJob,
     "usage: korvel7 info --port PORT... [OPTIONS]\n"
     "\n"
     "Finds the receiver, reads its firmware version and device address, and says which\n"
     "built-in image 'program' would install, or that it would refuse the version.\n"
     "Nothing is erased, written, checked or reset.\n",
     "",
     "  0 the receiver answered, 1 it did not answer everything, 2 not found,\n"
     "  64 usage error\n"},
    {"verify", Kind::kJob,
     "usage: korvel7 verify --port PORT... [OPTIONS]\n"
     "\n"
     "Reads back the whole image the receiver should hold, as the update does, and says\n"
     "whether it matches the built-in image or lists the differences (about 10 s).\n"
     "Nothing is erased, written, checked or reset.\n",
     "", "  0 matches, 1 differs or a read failed, 2 not found, 64 usage error\n"},
    {"version", Kind::kTalks,
     "usage: korvel7 version --port PORT [--quiet]\n"
     "\n"
     "Asks the receiver on PORT for its firmware version; changes nothing on it.\n",
     "",
     "  0 the version was read, 1 the receiver did not give it, 2 the port did not\n"
     "  open, 64 usage error\n"},
    {"address", Kind::kTalks,
     "usage: korvel7 address --port PORT [--quiet] XX XX XX\n"
     "\n"
     "Writes the receiver's device address 00:19:01:XX:XX:XX, waits a second, reads it\n"
     "back and compares. Each XX is exactly two hexadecimal digits; anything else gives\n"
     "\"INPUT N.G.\" and nothing is sent.\n",
     "",
     "  0 \"PROGRAM OK\", 1 the address was not confirmed, 2 the port did not open,\n"
     "  64 usage error or \"INPUT N.G.\"\n"},
    {"ports", Kind::kLocal,
     "usage: korvel7 ports\n"
     "\n"
     "Lists this machine's serial ports, one a line: the name padded to six characters,\n"
     "two blanks and the friendly name, or the bare name when there is none. Windows:\n"
     "the registry's ports, as the window lists them; Linux: the tty devices with\n"
     "hardware behind them, named after their USB strings.\n",
     "", "  0\n"},
    {"help", Kind::kLocal,
     "usage: korvel7 help [COMMAND]\n"
     "\n"
     "Shows the overview of all commands, or one command's usage as 'korvel7 COMMAND\n"
     "--help' does.\n",
     "", "  0\n"},
};

// The usage text of one command; empty for a name that is no command.
std::string CommandUsage(const std::string& command) {
    for (const CommandHelp& help : kCommands) {
        if (command != help.command) continue;
        std::string usage = help.text;
        usage += "\noptions:\n";
        if (help.kind != Kind::kLocal) usage += kPortHelp;
        if (help.kind == Kind::kJob) usage += kJobHelp;
        usage += help.options;
        if (help.kind != Kind::kLocal) usage += kQuietHelp;
        usage += "  -h, --help      show this text\n\nexit status:\n";
        usage += help.exit_status;
        if (help.kind == Kind::kJob) usage += kJobExit;
        return usage;
    }
    return {};
}

}  // namespace

bool IsPlaceholderImage(std::span<const std::uint8_t> image) {
    const std::size_t length = std::strlen(kPlaceholderMark);
    return image.size() >= length && std::memcmp(image.data(), kPlaceholderMark, length) == 0;
}

void PrintVersion(std::FILE* out, const FirmwareImages& images) {
    std::fprintf(out, "korvel7 %s\n\nFirmware images built in:\n", KORVEL7_VERSION);
    const struct {
        const char* name;
        const char* receivers;
        std::span<const std::uint8_t> bytes;
        FirmwareVersion version;
    } listed[2] = {{"A", "1 or 2", images.a, images.a_version},
                   {"B", "3", images.b, images.b_version}};
    for (int i = 0; i < 2; ++i) {
        const auto& image = listed[i];
        std::fprintf(out,
                     "  %s   for receivers with firmware major version %s%s\n"
                     "      banner version %u.%u.%u, %zu bytes, 16-bit sum %04x,\n"
                     "      SHA-256 %s\n",
                     image.name, image.receivers,
                     IsPlaceholderImage(image.bytes) ? " (PLACEHOLDER, NOT FIRMWARE)" : "",
                     unsigned{image.version.major}, unsigned{image.version.minor},
                     unsigned{image.version.patch}, image.bytes.size(),
                     unsigned{ImageCheckSum(image.bytes)}, kImageBuildFacts[i].sha256);
    }
}

void WarnOfPlaceholders(std::FILE* err, const FirmwareImages& images) {
    const bool a = IsPlaceholderImage(images.a);
    const bool b = IsPlaceholderImage(images.b);
    if (!a && !b) return;
    const char* which = a && b ? "A and B" : (a ? "A" : "B");
    std::fprintf(err,
                 "korvel7: WARNING: this build carries placeholder images, not firmware (%s); "
                 "never use it on a real receiver\n",
                 which);
}

bool PrintCommandHelp(const std::string& command, const std::vector<std::string>& args,
                      std::FILE* out) {
    std::string usage;
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") usage = CommandUsage(command);
    }
    if (command == "help" && args.size() == 1 && usage.empty()) usage = CommandUsage(args.front());
    if (usage.empty()) return false;
    std::fputs(usage.c_str(), out);
    return true;
}

}  // namespace k7
