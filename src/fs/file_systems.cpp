#include "fs/file_systems.h"

#include "fs/ext/ext2_class.h"

#include <vector>

#include "fs/exfat/fat64.h"
#include "fs/fat/fat_file_system.h"
#include "fs/hfsplus/hfsp.h"
#include "fs/ntfs/ntfs.h"

namespace prendle::fs {

namespace {
// One line per file system; the folder's own header declares its type.
std::vector<FileSystemType>& table() {
    static std::vector<FileSystemType> types = {
        ntfsFileSystem(),
        fatFileSystem16(),
        fatFileSystem32(),
        exFatFileSystem(),
        extFileSystemType(),
        hfsPlusFileSystem(),
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

void unregisterFileSystem(const std::string& name) {
    auto& types = table();
    for (auto it = types.begin(); it != types.end(); ++it)
        if (name == it->name) {
            types.erase(it);
            return;
        }
}

}  // namespace prendle::fs
