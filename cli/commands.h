// korvel7's commands, each described once: the description parses its arguments, writes its
// usage, its line of the overview and its bash completion, and names the function it runs.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "args/args.h"

namespace k7 {

struct Subcommand;
using SubcommandFunction = int (*)(const Subcommand& command, const std::vector<std::string>& args);

struct Subcommand {
    std::string_view name;
    std::string_view required;     // the options it cannot do without, as usage shows them
    std::string_view positionals;  // as usage shows them
    std::span<const args::Option> options;
    bool job;  // program, info, verify: several ports at once, progress, JSON, log files
    std::string_view summary;      // the overview's lines
    std::string_view description;  // the usage's paragraph
    std::string_view exit_status;
    SubcommandFunction run;
};

// The command of that name; null for none.
const Subcommand* FindCommand(std::string_view name);

// `korvel7 COMMAND --help`.
std::string CommandUsage(const Subcommand& command);
// `korvel7 --help`.
std::string Overview();
// `korvel7 --bash-completion`, which the package installs.
std::string CompletionScript();

// The functions the commands run (main.cpp).
int RunJob(const Subcommand& command, const std::vector<std::string>& args);
int RunVersion(const Subcommand& command, const std::vector<std::string>& args);
int RunAddress(const Subcommand& command, const std::vector<std::string>& args);
int RunStation(const Subcommand& command, const std::vector<std::string>& args);
int RunPorts(const Subcommand& command, const std::vector<std::string>& args);
int RunDoctor(const Subcommand& command, const std::vector<std::string>& args);
int RunUdevRule(const Subcommand& command, const std::vector<std::string>& args);
int RunHelp(const Subcommand& command, const std::vector<std::string>& args);

}  // namespace k7
