// The argument parser every program uses, and the help and completion it writes.
#include "args/args.h"

#include <gtest/gtest.h>

namespace k7::args {
namespace {

constexpr Option kOptions[] = {{"--port", "PORT", "the port"},
                               {"--quiet", "", "no log"},
                               {"--dir", "DIR", "where\nand more", "Files"},
                               {"--very-long-name", "", "x"},
                               {"--hidden", "X", ""}};

// What a parse found, as words: "--name=value" for each option taken, "'positional'",
// then the first problem with its argument, its option, and how many options came first.
std::string Describe(const Parsed& parsed) {
    std::string text;
    for (const Given& given : parsed.given)
        text += std::string(kOptions[given.option].name) + "=" + given.value + " ";
    for (const std::string& positional : parsed.positionals)
        text += "'" + positional + "' ";
    const char* problems[] = {"", "unknown", "missing", "flag-value"};
    if (parsed.problem == Problem::kNone) return text;
    return text + problems[static_cast<int>(parsed.problem)] + " " + parsed.problem_arg + " " +
           std::string(kOptions[parsed.problem_option].name) + " @" +
           std::to_string(parsed.problem_at);
}

TEST(Args, ParsesEachFormAndReportsTheFirstProblem) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--port", "a", "x", "--port=b", "--quiet", "--port="},
         "--port=a --port=b --quiet= --port= 'x' "},
        {{"--port", "--quiet", "--hidden", "h", "-p"}, "--port=--quiet --hidden=h '-p' "},
        {{"--quiet", "--port"}, "--quiet= missing --port --port @1"},
        {{"--portx", "--port", "a", "--bogus"}, "--port=a unknown --portx --port @0"},
        {{"--dir", "d", "--quiet=1", "--x=1"}, "--dir=d flag-value --quiet=1 --quiet @1"},
    };
    for (const auto& [args, expected] : cases)
        EXPECT_EQ(Describe(Parse(kOptions, args)), expected) << args.front();
    // Where no positionals are taken, the first one is the problem.
    EXPECT_EQ(
        Describe(Parse(kOptions, std::vector<std::string>{"--quiet", "-p", "--bogus"}, false)),
        "--quiet= unknown -p --port @1");
    const Parsed twice = Parse(kOptions, std::vector<std::string>{"--port", "a", "--port=b"});
    EXPECT_EQ(twice.Values("--port", kOptions), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(twice.Has("--port", kOptions));
    EXPECT_FALSE(twice.Has("--quiet", kOptions));
}

// Help shows every option but the hidden one, in sections, long names on a line of their
// own; the synopsis and the wrapping keep each "[--name VALUE]" whole.
TEST(Args, HelpSynopsisAndCompletionNameEveryShownOption) {
    EXPECT_EQ(OptionHelp(kOptions, 16),
              "  --port PORT   the port\n"
              "  --quiet       no log\n"
              "\nFiles:\n"
              "  --dir DIR     where\n"
              "                and more\n"
              "  --very-long-name\n"
              "                x\n");
    EXPECT_EQ(Synopsis(kOptions, "--port"), "[--quiet] [--dir DIR] [--very-long-name]");
    EXPECT_EQ(Wrap("run [--a B] [--c] [--d E]", 4, 16), "run [--a B]\n    [--c]\n    [--d E]");

    const CompletionEntry entries[] = {{"run", kOptions, "extra"}, {"list", {}}};
    const std::string script = BashCompletion("my-tool", entries, "--version");
    for (const char* expected :
         {"\n    --port)\n        COMPREPLY=($(compgen -W \"$(\"${COMP_WORDS[0]}\" ports",
          "\n    --dir)\n        COMPREPLY=($(compgen -f", "words=\"run list --version\"",
          "run) words=\"--port --quiet --dir --very-long-name --help extra\" ;;",
          "list) words=\"--help\" ;;", "complete -F _my_tool my-tool\n"})
        EXPECT_NE(script.find(expected), std::string::npos) << expected << " in\n" << script;
    EXPECT_EQ(script.find("--hidden"), std::string::npos);
}

}  // namespace
}  // namespace k7::args
