#include "fs/common/safe_name.h"

#include <algorithm>

namespace prendle {

namespace {
constexpr size_t kMaxNameBytes = 255;

// Cuts at a UTF-8 character boundary.
std::string cutTo(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}
}  // namespace

std::string safeFileName(const std::string& nameFromDisk) {
    std::string out;
    out.reserve(nameFromDisk.size());
    for (char c : nameFromDisk) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F || c == '/' || c == '\\') ? '_' : c;
    }
    if (out.empty()) out = "_unnamed";
    if (out == "." || out == "..") out = "_" + out;
    return cutTo(out, kMaxNameBytes);
}

std::string numberedFileName(const std::string& base, unsigned n) {
    size_t dot = base.find_last_of('.');
    if (dot == 0 || dot == std::string::npos) dot = base.size();
    std::string suffix = " (" + std::to_string(n) + ")";
    std::string stem =
        cutTo(base.substr(0, dot), kMaxNameBytes - suffix.size() - (base.size() - dot));
    return stem + suffix + base.substr(dot);
}

std::string FolderNames::claim(const std::string& nameFromDisk) {
    std::string base = safeFileName(nameFromDisk);
    if (taken_.insert(base).second) return base;
    // Numbering goes on from the last number handed out for this name, so a folder of many
    // equal names costs one probe each instead of one per earlier copy.
    unsigned& last = nextNumber_[base];
    for (unsigned n = std::max(2u, last);; ++n) {
        last = n + 1;
        std::string candidate = numberedFileName(base, n);
        if (taken_.insert(candidate).second) return candidate;
    }
}

}  // namespace prendle
