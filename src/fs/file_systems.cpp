#include "fs/file_systems.h"

#include "fs/ext/ext2_class.h"

#include <vector>

namespace prendle::fs {

namespace {
// One line per file system; the folder's own header declares its type.
std::vector<FileSystemType>& table() {
    static std::vector<FileSystemType> types = {
        extFileSystemType(),
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
