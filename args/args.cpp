#include "args/args.h"

namespace k7::args {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

std::size_t Find(std::span<const Option> options, std::string_view name) {
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (options[i].name == name) return i;
    }
    return kNone;
}

void Note(Parsed* parsed, Problem problem, const std::string& arg, std::size_t option = 0) {
    if (parsed->problem != Problem::kNone) return;
    parsed->problem = problem;
    parsed->problem_arg = arg;
    parsed->problem_option = option;
    parsed->problem_at = parsed->given.size();
}

// Words separated by one blank, empty ones left out.
std::string Join(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty()) return std::string(a.empty() ? b : a);
    return std::string(a) + " " + std::string(b);
}

// The shown options' names, for completion.
std::string Names(std::span<const Option> options) {
    std::string names;
    for (const Option& option : options) {
        if (!option.help.empty()) names = Join(names, option.name);
    }
    return names;
}

}  // namespace

Parsed Parse(std::span<const Option> options, std::span<const std::string> args, bool positionals) {
    Parsed parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!arg.starts_with("--")) {
            if (positionals) {
                parsed.positionals.push_back(arg);
            } else {
                Note(&parsed, Problem::kUnknown, arg);
            }
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::size_t option = Find(options, std::string_view(arg).substr(0, equals));
        if (option == kNone) {
            Note(&parsed, Problem::kUnknown, arg);
        } else if (options[option].value.empty()) {
            if (equals == std::string::npos) {
                parsed.given.push_back({option, {}});
            } else {
                Note(&parsed, Problem::kFlagValue, arg, option);
            }
        } else if (equals != std::string::npos) {
            parsed.given.push_back({option, arg.substr(equals + 1)});
        } else if (i + 1 < args.size()) {
            parsed.given.push_back({option, args[++i]});
        } else {
            Note(&parsed, Problem::kMissingValue, arg, option);
        }
    }
    return parsed;
}

std::vector<std::string> Parsed::Values(std::string_view name,
                                        std::span<const Option> options) const {
    std::vector<std::string> values;
    for (const Given& entry : given) {
        if (options[entry.option].name == name) values.push_back(entry.value);
    }
    return values;
}

bool Parsed::Has(std::string_view name, std::span<const Option> options) const {
    return !Values(name, options).empty();
}

std::string OptionHelp(std::span<const Option> options, std::size_t column) {
    std::string text;
    for (const Option& option : options) {
        if (option.help.empty()) continue;
        if (!option.section.empty()) {
            if (!text.empty()) text += '\n';
            text += std::string(option.section) + ":\n";
        }
        std::string line = "  " + std::string(option.name);
        if (!option.value.empty()) line.append(" ").append(option.value);
        if (line.size() >= column) {
            text += line + '\n';
            line.clear();
        }
        for (std::size_t start = 0; start < option.help.size();) {
            std::size_t end = option.help.find('\n', start);
            if (end == std::string_view::npos) end = option.help.size();
            line.resize(column, ' ');
            text += line + std::string(option.help.substr(start, end - start)) + '\n';
            line.clear();
            start = end + 1;
        }
    }
    return text;
}

std::string Synopsis(std::span<const Option> options, std::string_view leave_out) {
    std::string synopsis;
    for (const Option& option : options) {
        if (option.help.empty() || option.name == leave_out) continue;
        if (!synopsis.empty()) synopsis += ' ';
        synopsis.append("[").append(option.name);
        if (!option.value.empty()) synopsis.append(" ").append(option.value);
        synopsis += "]";
    }
    return synopsis;
}

std::string Wrap(std::string_view text, std::size_t indent, std::size_t width) {
    std::string wrapped;
    std::size_t column = 0, depth = 0, word_start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '[') ++depth;
        if (i < text.size() && text[i] == ']' && depth > 0) --depth;
        if (i < text.size() && (text[i] != ' ' || depth > 0)) continue;
        const std::string_view word = text.substr(word_start, i - word_start);
        word_start = i + 1;
        if (column > indent && column + 1 + word.size() > width) {
            wrapped += '\n' + std::string(indent, ' ');
            column = indent;
        } else if (!wrapped.empty()) {
            wrapped += ' ';
            ++column;
        }
        wrapped += word;
        column += word.size();
    }
    return wrapped;
}

std::string BashCompletion(std::string_view program, std::span<const CompletionEntry> entries,
                           std::string_view top_words) {
    // The options whose value completes as a port, as a file name, or not at all.
    std::string ports, files, others, commands;
    for (const CompletionEntry& entry : entries) {
        for (const Option& option : entry.options) {
            if (option.help.empty() || option.value.empty()) continue;
            std::string& list = option.value == "PORT"                            ? ports
                                : option.value == "PATH" || option.value == "DIR" ? files
                                                                                  : others;
            const std::string name(option.name);
            if (("|" + list + "|").find("|" + name + "|") == std::string::npos)
                list += (list.empty() ? "" : "|") + name;
        }
        commands = Join(commands, entry.command);
    }
    std::string function = "_";
    for (const char c : program)
        function += c == '-' ? '_' : c;

    std::string script = "# bash completion for " + std::string(program) + ", written by `" +
                         std::string(program) + " --bash-completion`.\n" + function +
                         "() {\n"
                         "    local cur=${COMP_WORDS[COMP_CWORD]} "
                         "prev=${COMP_WORDS[COMP_CWORD - 1]} words=\n"
                         "    COMPREPLY=()\n"
                         "    case $prev in\n";
    if (!ports.empty())
        script += "    " + ports +
                  ")\n"
                  "        COMPREPLY=($(compgen -W \"$(\"${COMP_WORDS[0]}\" ports 2>/dev/null | "
                  "cut -d ' ' -f 1)\" -- \"$cur\") $(compgen -f -- \"$cur\"))\n"
                  "        return ;;\n";
    if (!files.empty())
        script += "    " + files +
                  ")\n        COMPREPLY=($(compgen -f -- \"$cur\"))\n        return ;;\n";
    if (!others.empty()) script += "    " + others + ") return ;;\n";
    script += "    esac\n";
    if (commands.empty()) {
        for (const CompletionEntry& entry : entries)
            script += "    words=\"" + Join(Names(entry.options), entry.words) + "\"\n";
    } else {
        script += "    if ((COMP_CWORD == 1)); then\n        words=\"" + Join(commands, top_words) +
                  "\"\n    else\n        case ${COMP_WORDS[1]} in\n";
        for (const CompletionEntry& entry : entries) {
            script += "        " + std::string(entry.command) + ") words=\"" +
                      Join(Join(Names(entry.options), "--help"), entry.words) + "\" ;;\n";
        }
        script += "        esac\n    fi\n";
    }
    script += "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n}\ncomplete -F " + function +
              " " + std::string(program) + "\n";
    return script;
}

}  // namespace k7::args
