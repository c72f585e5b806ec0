// printf into a std::string, for expected log lines and notes.
#pragma once

#include <cstdio>
#include <string>

namespace k7::test {

inline std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace k7::test
