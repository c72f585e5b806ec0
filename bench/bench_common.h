// What the benchmarks share: their command line, times in milliseconds and percentiles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "args/args.h"

namespace k7::bench {

// A bench's options; a problem with them prints it and the usage, and exits 64.
class CommandLine {
public:
    CommandLine(std::span<const args::Option> options, std::string usage, int argc, char** argv)
        : options_(options), usage_(std::move(usage)) {
        const std::vector<std::string> given(argv + 1, argv + argc);
        parsed_ = args::Parse(options_, given, false);
        if (parsed_.problem == args::Problem::kMissingValue)
            Fail(parsed_.problem_arg + " needs a value\n");
        if (parsed_.problem != args::Problem::kNone)
            Fail("unknown argument " + parsed_.problem_arg + "\n");
    }

    // The value given last, or `fallback`.
    std::string Value(std::string_view name, std::string fallback) const {
        const std::vector<std::string> values = parsed_.Values(name, options_);
        return values.empty() ? fallback : values.back();
    }
    bool Has(std::string_view name) const { return parsed_.Has(name, options_); }
    // A whole number from 0 to `most`.
    std::size_t Count(std::string_view name, const char* fallback, std::size_t most) const {
        const std::string text = Value(name, fallback);
        char* end = nullptr;
        const unsigned long n = std::strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || text[0] == '-' || n > most)
            Fail("'" + text + "' is not a count from 0 to " + std::to_string(most) + "\n");
        return n;
    }

    [[noreturn]] void Fail(const std::string& problem) const {
        std::fprintf(stderr, "%s%s", problem.c_str(), usage_.c_str());
        std::exit(64);
    }

private:
    std::span<const args::Option> options_;
    std::string usage_;
    args::Parsed parsed_;
};

inline double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The nearest-rank percentile of `values`; 0 when there are none.
inline double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(values.size()) + 0.999999);
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

}  // namespace k7::bench
