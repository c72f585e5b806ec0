#pragma once

#include <cstddef>
#include <string_view>

namespace k7 {

// The length of the well-formed UTF-8 sequence `text` starts with (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0 when it starts with anything else.
std::size_t Utf8Length(std::string_view text);

}  // namespace k7
