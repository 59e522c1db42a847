// The Windows recycle bin keeps a deleted file's content as "$R" + six characters and its
// former path in the index file of the same name beginning "$I". This pass reads each
// index file of "$Recycle.Bin" (and of its per-user folders) through the file system's
// own extraction and shows the "$R" entry under its former name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/progress.h"
#include "fs/common/file_system.h"

namespace prendle::fs {

// Index files bigger than this are not index files: a path holds at most 32767 units.
inline constexpr uint64_t kMaxRecycleIndexBytes = 28 + 2 * 32768;

// The former path stored in an index file, UTF-8. Version 1 (Vista to 8.1): 8-byte
// version, size, deletion time, then the path at byte 24 up to its NUL. Version 2
// (Windows 10 on): the same three fields, a 4-byte length in UTF-16 units (NUL included)
// at 24 and the path from byte 28. Nothing for other versions or a path cut short.
std::optional<std::string> decodeRecycleIndex(std::span<const uint8_t> bytes);

// The part after the last backslash (or slash); the whole text when it has none.
std::string recycleBaseName(const std::string& path);

// Renames every "$R" entry whose "$I" index file names its former path; returns how many
// were renamed. An index that cannot be read or holds an empty path leaves its entry be.
uint64_t restoreRecycleBinNames(FileSystem& fileSystem, Progress& progress);

}  // namespace prendle::fs
