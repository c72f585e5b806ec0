// ParseHexPair on arbitrary text, against std::from_chars reading exactly two characters
// in base 16 into an unsigned type (no sign, prefix or blank accepted).
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/address.h"

namespace {

bool ReferenceHexPair(const std::string& text, unsigned* value) {
    if (text.size() != 2) return false;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value, 16);
    return error == std::errc{} && stop == end;
}

[[noreturn]] void Fail(const std::string& text, const char* what) {
    std::fprintf(stderr, "field of %zu characters: %s\n", text.size(), what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    unsigned expected = 0;
    const bool valid = ReferenceHexPair(text, &expected);

    std::uint8_t value = 0;
    if (k7::ParseHexPair(text, &value) != valid)
        Fail(text, valid ? "a valid field refused" : "an invalid field accepted");
    if (k7::ParseHexPair(text, nullptr) != valid) Fail(text, "answer changes without a value");
    if (valid && value != expected) Fail(text, "wrong value");
    return 0;
}
