#include "volumes/volume_info.h"

#include "common/text.h"

namespace prendle {

namespace {
struct KindName {
    FileSystemKind kind;
    const char* names[3];
};
// Every spelling the volume search and the volume list's custom settings produce.
constexpr KindName kKindNames[] = {
    {FileSystemKind::Ntfs, {"ntfs", nullptr, nullptr}},
    {FileSystemKind::Fat12, {"fat12", nullptr, nullptr}},
    {FileSystemKind::Fat16, {"fat16", "fat", nullptr}},
    {FileSystemKind::Fat32, {"fat32", nullptr, nullptr}},
    {FileSystemKind::ExFat, {"fat64", "exfat", nullptr}},
    {FileSystemKind::Ext, {"extx", "ext2", "ext4"}},
    {FileSystemKind::HfsPlus, {"hfs+", "hfsplus", nullptr}},
    {FileSystemKind::Raw, {"raw", nullptr, nullptr}},
};
}  // namespace

FileSystemKind fileSystemKindFromName(std::string_view name) {
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    for (const auto& entry : kKindNames)
        for (const char* candidate : entry.names)
            if (candidate && equalsIgnoringCase(name, candidate)) return entry.kind;
    if (equalsIgnoringCase(name, "ext3")) return FileSystemKind::Ext;
    return FileSystemKind::Unknown;
}

const char* fileSystemKindName(FileSystemKind kind) {
    switch (kind) {
        case FileSystemKind::Ntfs:
            return "ntfs";
        case FileSystemKind::Fat12:
            return "fat12";
        case FileSystemKind::Fat16:
            return "fat16";
        case FileSystemKind::Fat32:
            return "fat32";
        case FileSystemKind::ExFat:
            return "exfat";
        case FileSystemKind::Ext:
            return "ext";
        case FileSystemKind::HfsPlus:
            return "hfsplus";
        case FileSystemKind::Raw:
            return "raw";
        case FileSystemKind::Unknown:
            break;
    }
    return "unknown";
}

}  // namespace prendle
