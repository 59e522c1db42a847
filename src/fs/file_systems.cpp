#include "fs/file_systems.h"

#include <vector>

#include "fs/exfat/fat64.h"

namespace prendle::fs {

namespace {
// One line per file system; the folder's own header declares its type.
std::vector<FileSystemType>& table() {
    static std::vector<FileSystemType> types = {
        {"exfat",
         {FileSystemKind::ExFat},
         {ParseMode::Standard, ParseMode::Advanced},
         false,
         true,
         "",
         &Fat64Class::open},
    };
    return types;
}
}  // namespace

std::span<const FileSystemType> fileSystemTypes() {
    return table();
}

const FileSystemType* findFileSystem(FileSystemKind kind) {
    for (const FileSystemType& type : table())
        for (FileSystemKind opens : type.volumeKinds)
            if (opens == kind) return &type;
    return nullptr;
}

void registerFileSystem(FileSystemType type) {
    table().push_back(std::move(type));
}

}  // namespace prendle::fs
