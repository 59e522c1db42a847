// UTF-16 names from disk structures, turned into UTF-8 for display and comparison.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace prendle {

// Little-endian units up to the first NUL or the end; unpaired surrogates become U+FFFD.
std::string utf16LeToUtf8(std::span<const uint8_t> bytes);
// Appends one code point (below U+110000) as UTF-8.
void appendUtf8(std::string& out, uint32_t code);

}  // namespace prendle
