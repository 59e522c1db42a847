// What every file-system parser offers the browser, prendle-cli and the recovery walk:
// a parse in a mode, the tree of entries by id, each entry's facts and display texts,
// and extraction of an entry's data into an open output file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "common/file_handle.h"
#include "common/progress.h"
#include "disk/volume_view.h"
#include "fs/common/display_format.h"
#include "volumes/volume_info.h"

namespace prendle::fs {

// An index into the parser's own entry table, below entryCount().
using EntryId = uint64_t;
inline constexpr EntryId kNoEntry = ~EntryId{0};

enum class ParseMode { Standard, Advanced, Deep };
const char* parseModeName(ParseMode mode);

// What a parse found; a parse never ends silently.
struct ParseSummary {
    uint64_t entryCount = 0;
    uint64_t deletedCount = 0;
    bool stopped = false;
    std::vector<std::string> warnings;  // at most kMaxWarnings; the rest are counted
    uint64_t moreWarnings = 0;
    // "812 entries (3 deleted), stopped, 2 warnings"
    std::string text() const;
    void warn(std::string warning);
    static constexpr size_t kMaxWarnings = 100;
};

// One entry's facts; name is owned by the file system and valid while it lives.
struct EntryFacts {
    std::string_view name;
    bool folder = false;
    bool deleted = false;
    bool link = false;  // a symbolic link: extraction writes its target as the file's text
    uint64_t size = 0;  // the bytes extraction writes
    // 100 ns ticks since 1601 UTC (FILETIME); 0 when the file system has no such time.
    uint64_t created = 0, modified = 0, accessed = 0;
    uint32_t attributes = 0;  // the file system's own flags, as formatAttributeText reads them
};

// Options from the pages that a parser may read.
struct OpenOptions {
    bool driveFormatted = false;  // "Is Drive Formated..?" on the recovery mode page
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Runs the parse start to finish, reporting through progress; a stop ends it early
    // with summary.stopped set and what was found kept.
    virtual Result<ParseSummary> parse(ParseMode mode, Progress& progress) = 0;

    // The first level the browser shows under the volume's item (the root's children,
    // ORPHAN_ENTRY and the like).
    virtual std::vector<EntryId> topLevel() const = 0;
    // A folder's children in the order the browser lists them.
    virtual std::vector<EntryId> children(EntryId folder) const = 0;
    // Ids are below this; the walk sizes its visited set by it.
    virtual uint64_t entryCount() const = 0;
    // Whether id names an entry the browser may show and open.
    virtual bool usable(EntryId id) const = 0;
    virtual bool isFolder(EntryId id) const = 0;
    virtual bool isDeleted(EntryId id) const = 0;
    virtual EntryFacts facts(EntryId id) const = 0;
    // The list row's time and attribute texts.
    virtual EntryDisplayText displayText(EntryId id) const = 0;
    virtual std::string sizeText(EntryId id) const {
        return formatSizeText(static_cast<int64_t>(facts(id).size));
    }
    // Writes the entry's data into out (already created and empty). Progress is polled
    // at each large piece; a stop returns an Error of kind Stopped.
    virtual Status extract(EntryId id, const FileHandle& out, Progress& progress) = 0;
    // Entries counted but never written ("$BadClus" on NTFS).
    virtual bool skippedOnSave(EntryId) const { return false; }

    // The entry's name as shown: a name restored by the recycle-bin pass, or the disk's.
    std::string_view name(EntryId id) const {
        if (!renamed_.empty())
            if (auto found = renamed_.find(id); found != renamed_.end()) return found->second;
        return facts(id).name;
    }
    void rename(EntryId id, std::string name) { renamed_[id] = std::move(name); }

private:
    std::unordered_map<EntryId, std::string> renamed_;
};

// One line of the file-system table: which volumes it opens and how the pages offer it.
struct FileSystemType {
    const char* name;  // "ntfs": listings and messages
    std::vector<FileSystemKind> volumeKinds;
    std::vector<ParseMode> modes;        // offered on the recovery mode page
    bool childrenInheritCheck = false;   // a child takes its folder's check when inserted
    bool offersFormattedChoice = false;  // "Is Drive Formated..?" beside the advanced mode
    bool parallelExtract = false;        // extract() may run on several threads at once
    const char* startStatus = "";        // the browser's status line as the parse starts
    std::unique_ptr<FileSystem> (*open)(const VolumeView& view, const VolumeInfo& volume,
                                        const OpenOptions& options) = nullptr;
};

}  // namespace prendle::fs
