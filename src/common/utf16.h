// UTF-16 names from disk structures, turned into UTF-8 for display and comparison.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace prendle {

// Little-endian units up to the first NUL or the end; unpaired surrogates become U+FFFD.
std::string utf16LeToUtf8(std::span<const uint8_t> bytes);

}  // namespace prendle
