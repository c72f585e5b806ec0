// What the tests of the korvel7 program share: running it, reading what it wrote and
// what a terminal shows of that, and receivers on a bench.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/link.h"
#include "sim/pty_server.h"

namespace k7::test {

// Everything written to `file` from its start.
inline std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    return text;
}

// A directory of its own for logs and links, removed with what it holds at the end.
struct TempDir {
    TempDir()
        : path(std::filesystem::temp_directory_path() /
               ("korvel7-test-" + std::to_string(getpid()) + "-" + std::to_string(++count))) {
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    // What each file in it holds.
    std::vector<std::string> Files() const {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            std::ifstream file(entry.path(), std::ios::binary);
            files.emplace_back(std::istreambuf_iterator<char>(file),
                               std::istreambuf_iterator<char>());
        }
        return files;
    }
    std::filesystem::path path;
    static inline std::atomic<int> count{0};
};

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// korvel7 run by the shell after `env`: the terminal a user's shell describes, unless a
// test names another.
inline Result RunCli(const std::string& arguments,
                     const std::string& env = "TERM=xterm COLUMNS=80") {
    Result result;
    const TempDir dir;
    const std::string command =
        env + " " + KORVEL7_CLI + " " + arguments + " 2>" + (dir.path / "err").string();
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = dir.Files().at(0);
    // A build with the placeholder images says so first; the release tests check that line.
    if (result.err.starts_with("korvel7: WARNING: this build carries placeholder images"))
        result.err.erase(0, result.err.find('\n') + 1);
    return result;
}

// The lines a terminal shows for `output`: CR goes back to the line's start, and what
// follows overwrites; ESC [ n A moves n lines up and ESC [ K clears the rest of the line;
// trailing blanks are dropped.
inline std::vector<std::string> Screen(const std::string& output) {
    std::vector<std::string> lines(1);
    std::size_t row = 0, column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (c == '\x1b' && output.compare(i + 1, 1, "[") == 0) {
            const std::size_t end = output.find_first_not_of("0123456789", i + 2);
            if (end == std::string::npos) break;
            const auto n = static_cast<std::size_t>(std::atoi(output.c_str() + i + 2));
            if (output[end] == 'A') row -= std::min(row, n);
            if (output[end] == 'K') lines[row].resize(std::min(column, lines[row].size()));
            i = end;
        } else if (c == '\n') {
            if (++row == lines.size()) lines.emplace_back();
            column = 0;
        } else if (c == '\r') {
            column = 0;
        } else {
            std::string& line = lines[row];
            if (column >= line.size()) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    for (std::string& line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    return lines;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// Every line of `out` as JSON; a line that is not valid UTF-8 JSON fails the test.
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> objects;
    for (const std::string& line : Lines(out)) {
        objects.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_TRUE(objects.back().is_object()) << line;
    }
    return objects;
}

// Receivers on a bench, each a simulator of its own, each starting with erased memory so
// that every run is a whole one.
class Bench {
public:
    explicit Bench(std::vector<sim::Options> receivers) {
        for (sim::Options& options : receivers) {
            options.blank = true;
            servers_.push_back(std::make_unique<sim::PtyServer>(options));
            std::string error;
            EXPECT_TRUE(servers_.back()->Start(&error)) << error;
        }
    }
    std::string Ports(std::vector<std::size_t> which = {}) const {
        std::string ports;
        for (std::size_t i = 0; i < servers_.size(); ++i)
            if (which.empty() || std::find(which.begin(), which.end(), i) != which.end())
                ports += " --port " + servers_[i]->SlavePath();
        return ports;
    }
    sim::PtyServer& operator[](std::size_t i) { return *servers_[i]; }
    unsigned Count(std::size_t i, std::uint8_t code) const {
        return servers_[i]->Inspect(
            [code](const sim::Receiver& r) { return r.CommandCount(code); });
    }
    // The commands that change a receiver: erase, write, image check or reset, address.
    unsigned Changing(std::size_t i) const {
        return Count(i, kCmdEraseBlock) + Count(i, kCmdWriteChunk) + Count(i, kCmdImageCheck) +
               Count(i, kCmdWriteAddress);
    }
    bool Holds(std::size_t i, std::span<const std::uint8_t> image) const {
        return servers_[i]->Inspect([image](const sim::Receiver& r) {
            return std::equal(image.begin(), image.end(), r.Memory().begin());
        });
    }

private:
    std::vector<std::unique_ptr<sim::PtyServer>> servers_;
};

}  // namespace k7::test
