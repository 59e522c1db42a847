#include "fs/file_systems.h"

#include <vector>

#include "fs/hfsplus/hfsp.h"

namespace prendle::fs {

namespace {
// One line per file system; the folder's own header declares its type.
std::vector<FileSystemType>& table() {
    static std::vector<FileSystemType> types = {
        {"hfsplus",
         {FileSystemKind::HfsPlus},
         {ParseMode::Standard, ParseMode::Deep},
         false,
         false,
         "HFS+ partition selected....",
         &openHfsPlus},
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
