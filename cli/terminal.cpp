#include "cli/terminal.h"

#include <cstdlib>
#include <cstring>

#include "cli/utf8.h"

namespace k7 {

namespace {

constexpr std::size_t kDefaultColumns = 80;

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

}  // namespace

StdoutLogSink::StdoutLogSink() {
    SetStdoutBinary();
}

void StdoutLogSink::Append(std::string_view text) {
    WriteStream(stdout, text);
}

std::size_t ColumnsFromEnvironment() {
    const char* columns = std::getenv("COLUMNS");
    if (columns == nullptr) return kDefaultColumns;
    char* end = nullptr;
    const unsigned long value = std::strtoul(columns, &end, 10);
    return end != columns && *end == '\0' && value > 0 && value < 10000 ? value : kDefaultColumns;
}

bool TermRedraws(const char* term) {
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

std::string Printable(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = Utf8Length(name.substr(i));
        const auto c = static_cast<unsigned char>(name[i]);
        const bool control =
            c < 0x20 || c == 0x7F ||
            (c == 0xC2 && length == 2 && static_cast<unsigned char>(name[i + 1]) < 0xA0);
        if (length == 0 || control) {
            const std::size_t bytes = length == 0 ? 1 : length;
            for (std::size_t j = i; j < i + bytes; ++j) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x",
                              unsigned{static_cast<unsigned char>(name[j])});
                out += escaped;
            }
            i += bytes;
        } else {
            out.append(name.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string ElideMiddle(std::string_view text, std::size_t columns) {
    static constexpr std::string_view kDots = "...";
    if (text.size() <= columns) return std::string(text);
    if (columns <= kDots.size()) return std::string(kDots.substr(0, columns));
    std::size_t head = (columns - kDots.size() + 1) / 2;
    std::size_t tail = text.size() - (columns - kDots.size() - head);
    while (head > 0 && IsContinuation(static_cast<unsigned char>(text[head])))
        --head;
    while (tail < text.size() && IsContinuation(static_cast<unsigned char>(text[tail])))
        ++tail;
    return std::string(text.substr(0, head)) + std::string(kDots) + std::string(text.substr(tail));
}

}  // namespace k7
