// One volume found on the disk, copied by value from page to page and into each parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What a volume holds, typed, so that pages and the CLI ask the file-system registry
// instead of parsing display names again.
enum class FileSystemKind { Unknown, Ntfs, Fat12, Fat16, Fat32, ExFat, Ext, HfsPlus, Raw };

struct VolumeInfo {
    std::string fsName;
    std::string spareText;
    std::string indexText;
    std::string sizeText;
    uint64_t startSector = 0;
    FileSystemKind kind = FileSystemKind::Unknown;
};

namespace prendle {

// The kind behind a name the volume search or the custom settings give ("NTFS", "FAT64",
// "extX", "fat16", "RAW", ...), compared without regard to letter case.
FileSystemKind fileSystemKindFromName(std::string_view name);
// A short lower-case name for listings and messages: "ntfs", "fat16", "exfat", "ext", ...
const char* fileSystemKindName(FileSystemKind kind);

}  // namespace prendle
