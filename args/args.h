// Command-line options described once: the same description parses the arguments and
// writes the help text and the bash completion, so the three cannot disagree.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace k7::args {

struct Option {
    std::string_view name;   // "--port"
    std::string_view value;  // what the value is called in help ("PORT"); empty for a flag
    // One or more lines, each shown beside or under the name. Empty: accepted but not
    // shown, for an option a program refuses with a message of its own.
    std::string_view help;
    std::string_view section = {};  // when set, help starts a new section of this title
};

enum class Problem {
    kNone,
    kUnknown,       // no such option (or, where none are taken, a positional argument)
    kMissingValue,  // the option needs a value and the arguments ended
    kFlagValue,     // "--flag=V" for an option that takes no value
};

struct Given {
    std::size_t option;  // index into the options parsed against
    std::string value;
};

struct Parsed {
    std::vector<Given> given;  // in the order given
    std::vector<std::string> positionals;
    Problem problem = Problem::kNone;  // the first one; parsing goes on past it
    std::string problem_arg;           // the argument as given
    std::size_t problem_option = 0;    // for kMissingValue and kFlagValue
    std::size_t problem_at = 0;        // how many entries of `given` came before it

    // Every value of an option, in order; the last one wins where it is given once.
    std::vector<std::string> Values(std::string_view name, std::span<const Option> options) const;
    bool Has(std::string_view name, std::span<const Option> options) const;
};

// Arguments beginning with "--" are options, given as "--name VALUE" or "--name=VALUE";
// the rest are positionals, or problems when `positionals` is false.
Parsed Parse(std::span<const Option> options, std::span<const std::string> args,
             bool positionals = true);

// Each shown option on its own lines: "  --name VALUE" padded to `column`, its help beside
// it, further help lines under it; a name too long for the column has its help below.
std::string OptionHelp(std::span<const Option> options, std::size_t column);

// "[--flag] [--name VALUE]" for each shown option but `leave_out`.
std::string Synopsis(std::span<const Option> options, std::string_view leave_out = {});

// `text` broken at the blanks outside brackets into lines of at most `width` characters,
// the lines after the first indented by `indent` blanks; no trailing line end.
std::string Wrap(std::string_view text, std::size_t indent, std::size_t width = 80);

// What bash offers after a command (after the program, for a program without commands):
// its options, --help, and `words`.
struct CompletionEntry {
    std::string_view command;
    std::span<const Option> options;
    std::string_view words = {};
};

// A bash completion script for `program`: the command names and `top_words` in the first
// place, then the command's entry; a program without commands gives one entry named "".
// An option's value completes as a file name, or from `program ports` for a PORT.
std::string BashCompletion(std::string_view program, std::span<const CompletionEntry> entries,
                           std::string_view top_words = {});

}  // namespace k7::args
