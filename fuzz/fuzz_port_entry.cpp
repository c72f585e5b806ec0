// PortNumberFromEntry on arbitrary text, against strtoll on the text after the first three
// characters ("COM"), clamped to int. Entries too short to hold a number must give back
// `current`, and longer ones must not depend on it.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ports/ports.h"

namespace {

int ReferenceNumber(const std::string& entry) {
    // strtoll stops at the first character that cannot continue a number, a NUL included,
    // and saturates at the range of long long.
    const long long value = std::strtoll(entry.c_str() + 3, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void ExpectNumber(const std::string& entry, int current, int expected) {
    const int number = k7::PortNumberFromEntry(entry, current);
    if (number == expected) return;
    std::fprintf(stderr, "entry of %zu characters, current %d: got %d, expected %d\n", entry.size(),
                 current, number, expected);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string entry(reinterpret_cast<const char*>(data), size);
    for (const int current : {7, INT_MIN}) {
        const int expected = entry.size() < 4 ? current : ReferenceNumber(entry);
        ExpectNumber(entry, current, expected);
    }
    return 0;
}
