// Names from a disk made safe to create inside an output folder.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>

namespace prendle {

// No separators, NUL or control characters, never "." or "..", never empty, at most
// 255 bytes; the rest of the name is kept as it was.
std::string safeFileName(const std::string& nameFromDisk);

// "a (2).txt" for n = 2: the number goes before the extension, within 255 bytes.
std::string numberedFileName(const std::string& safeName, unsigned n);

// Hands out names unique within one folder: "a.txt", then "a (2).txt", "a (3).txt", ...
class FolderNames {
public:
    std::string claim(const std::string& nameFromDisk);

private:
    std::unordered_set<std::string> taken_;
    std::unordered_map<std::string, unsigned> nextNumber_;
};

}  // namespace prendle
