// The one walk over a parsed volume's tree that the save, prendle-cli, the name search
// and the recycle-bin pass share. Directory entries on FAT, ext and HFS+ can point back
// at an ancestor, so every entry is visited once, whatever its links say.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/progress.h"
#include "fs/common/file_system.h"

namespace prendle::fs {

// A folder's children, or with kNoEntry the volume's first level.
inline std::vector<EntryId> childrenOrTop(const FileSystem& fileSystem, EntryId id) {
    return id == kNoEntry ? fileSystem.topLevel() : fileSystem.children(id);
}

// Whether the walk goes into a folder of this name: "." and ".." lead back up.
inline bool isSelfOrParentLink(std::string_view name) {
    return name == "." || name == "..";
}

// Depth first from start (kNoEntry: the first level), children in their listed order.
// visit(id, path, parent) returns whether to go inside a folder; path is startPath and
// the names below it joined by '/'. A stop at the progress's checkpoint ends the walk;
// the result says whether it ran to the end.
template <class Visit>
bool walkTree(const FileSystem& fileSystem, EntryId start, const std::string& startPath,
              Visit visit, Progress* progress = nullptr) {
    std::vector<bool> seen(fileSystem.entryCount(), false);
    if (start != kNoEntry && start < seen.size()) seen[start] = true;
    std::vector<std::pair<EntryId, std::string>> stack{{start, startPath}};
    std::vector<std::pair<EntryId, std::string>> folders;
    while (!stack.empty()) {
        if (progress != nullptr && !progress->checkpoint()) return false;
        auto [folder, path] = std::move(stack.back());
        stack.pop_back();
        folders.clear();
        for (EntryId child : childrenOrTop(fileSystem, folder)) {
            if (child >= seen.size() || seen[child]) continue;
            seen[child] = true;
            const std::string_view name = fileSystem.name(child);
            std::string childPath = path;
            childPath += '/';
            childPath += name;
            if (visit(child, childPath, folder) && fileSystem.isFolder(child) &&
                !isSelfOrParentLink(name))
                folders.emplace_back(child, std::move(childPath));
        }
        for (auto it = folders.rbegin(); it != folders.rend(); ++it)
            stack.push_back(std::move(*it));
    }
    return true;
}

}  // namespace prendle::fs
