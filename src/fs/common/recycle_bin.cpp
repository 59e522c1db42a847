#include "fs/common/recycle_bin.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "common/byte_reader.h"
#include "common/file_handle.h"
#include "common/text.h"
#include "common/utf16.h"

namespace prendle::fs {

namespace {

std::string_view trimTrailingBlanks(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && equalsIgnoringCase(text.substr(0, head.size()), head);
}

// Copies the index file out through the file system's own extraction into a temporary
// file named by mkstemp (never by disk bytes), reads it back and removes it.
std::optional<std::vector<uint8_t>> readIndexFile(FileSystem& fileSystem, EntryId id,
                                                  Progress& progress) {
    std::string pattern;
    try {
        pattern = (std::filesystem::temp_directory_path() / "prendle-recycle-XXXXXX").string();
    } catch (...) {
        return std::nullopt;
    }
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    const int fd = ::mkstemp(path.data());
    if (fd < 0) return std::nullopt;
    ::close(fd);
    const std::string tempPath(path.data());
    std::optional<std::vector<uint8_t>> out;
    {
        auto file = FileHandle::createWrite(tempPath);
        if (file.ok() && fileSystem.extract(id, file.value(), progress).ok()) {
            auto size = file.value().size();
            if (size.ok() && size.value() <= kMaxRecycleIndexBytes) {
                std::vector<uint8_t> bytes(static_cast<size_t>(size.value()));
                auto read = file.value().readAt(0, bytes);
                if (read.ok() && read.value() == bytes.size()) out = std::move(bytes);
            }
        }
    }
    ::unlink(tempPath.c_str());
    return out;
}

uint64_t restoreFolder(FileSystem& fileSystem, EntryId folder, Progress& progress) {
    const std::vector<EntryId> children = fileSystem.children(folder);
    uint64_t renamed = 0;
    for (EntryId index : children) {
        if (!fileSystem.usable(index) || fileSystem.isFolder(index)) continue;
        const std::string indexName(trimTrailingBlanks(fileSystem.facts(index).name));
        if (!startsWithIgnoringCase(indexName, "$I")) continue;
        if (fileSystem.facts(index).size > kMaxRecycleIndexBytes) continue;
        if (!progress.checkpoint()) return renamed;
        auto bytes = readIndexFile(fileSystem, index, progress);
        if (!bytes) continue;
        auto path = decodeRecycleIndex(*bytes);
        if (!path) continue;
        const std::string formerName = recycleBaseName(*path);
        if (formerName.empty()) continue;
        const std::string contentName = "$R" + indexName.substr(2);
        for (EntryId content : children) {
            if (!fileSystem.usable(content)) continue;
            if (!equalsIgnoringCase(trimTrailingBlanks(fileSystem.facts(content).name),
                                    contentName))
                continue;
            fileSystem.rename(content, formerName);
            ++renamed;
        }
    }
    return renamed;
}

}  // namespace

std::optional<std::string> decodeRecycleIndex(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    const uint64_t version = reader.le64();
    reader.skip(16);  // former size and deletion time
    if (!reader.ok()) return std::nullopt;
    std::span<const uint8_t> text;
    if (version == 1) {
        text = bytes.subspan(24);
    } else if (version == 2) {
        const uint32_t units = reader.le32();
        if (!reader.ok()) return std::nullopt;
        // The stated length is trusted only as far as the bytes read reach.
        const uint64_t wanted = uint64_t{units} * 2;
        text =
            bytes.subspan(28, static_cast<size_t>(std::min<uint64_t>(wanted, bytes.size() - 28)));
    } else {
        return std::nullopt;
    }
    std::string path = utf16LeToUtf8(text);
    if (path.empty()) return std::nullopt;
    return path;
}

std::string recycleBaseName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint64_t restoreRecycleBinNames(FileSystem& fileSystem, Progress& progress) {
    uint64_t renamed = 0;
    for (EntryId top : fileSystem.topLevel()) {
        if (!fileSystem.usable(top) || !fileSystem.isFolder(top)) continue;
        const std::string_view name = trimTrailingBlanks(fileSystem.facts(top).name);
        if (!equalsIgnoringCase(name, "$Recycle.Bin") && !equalsIgnoringCase(name, "$RecycleBin"))
            continue;
        // Index files lie in the per-user folders, and on some removable drives in the
        // bin itself.
        renamed += restoreFolder(fileSystem, top, progress);
        for (EntryId user : fileSystem.children(top)) {
            if (!fileSystem.usable(user) || !fileSystem.isFolder(user)) continue;
            if (startsWithIgnoringCase(fileSystem.facts(user).name, "$R")) continue;
            renamed += restoreFolder(fileSystem, user, progress);
        }
    }
    return renamed;
}

}  // namespace prendle::fs
