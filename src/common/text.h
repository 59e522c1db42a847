// Text comparisons that ignore letter case, as every comparison of type and mode names does.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace prendle {

inline char lowerAscii(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

inline std::string toLowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), lowerAscii);
    return text;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

inline bool endsWithIgnoringCase(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() &&
           equalsIgnoringCase(text.substr(text.size() - tail.size()), tail);
}

}  // namespace prendle
