// The ext2/ext3/ext4 parser: finds the superblock, reads the group descriptors and every
// group's inode table, reads each folder's records (and removed ones left in their slack),
// builds the tree under ROOT and ORPHAN_ENTRY and writes file data out through block maps
// and extent trees. Tests compare with The Sleuth Kit's fls and icat on volumes made by
// mkfs.ext2/3/4 and debugfs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/file_handle.h"
#include "common/progress.h"
#include "disk/volume_view.h"
#include "fs/common/file_system.h"
#include "fs/ext/ext_structures.h"
#include "volumes/volume_info.h"

// One name the browser shows: a directory record (a file with several hard links has one
// entry per name), or the synthetic ROOT and ORPHAN_ENTRY folders.
struct ExtEntry {
    std::string name;  // UTF-8; a name that is not UTF-8 is read as Latin-1
    uint64_t selfIndex = 0;
    uint64_t parentIndex = prendle::fs::kNoEntry;
    uint32_t inode = 0;  // 0 for ORPHAN_ENTRY and for removed records that lost their inode
    uint16_t mode = 0;   // i_mode; for a removed record without an inode, from its file type
    bool deleted = false;
    uint64_t size = 0;  // i_size with i_size_high
    // FILETIMEs (UTC); creation is i_crtime where the inode has it, else i_ctime.
    uint64_t created = 0, modified = 0, accessed = 0;
    // Children are consecutive entries: firstChild and the next childCount - 1 ids.
    uint64_t firstChild = prendle::fs::kNoEntry;
    uint64_t childCount = 0;
    uint64_t nextSibling = prendle::fs::kNoEntry;

    bool isFolder() const { return (mode & 0xF000) == 0x4000; }
    bool isSymlink() const { return (mode & 0xF000) == 0xA000; }
};

namespace prendle::fs {

inline constexpr char kExtRootName[] = "ROOT";
inline constexpr char kExtOrphanName[] = "ORPHAN_ENTRY";

}  // namespace prendle::fs

class ext2Class : public prendle::fs::FileSystem {
public:
    using EntryId = prendle::fs::EntryId;

    ext2Class(const prendle::VolumeView& view, VolumeInfo volume);

    prendle::Result<prendle::fs::ParseSummary> parse(prendle::fs::ParseMode mode,
                                                     prendle::Progress& progress) override;
    std::vector<EntryId> topLevel() const override;
    std::vector<EntryId> children(EntryId folder) const override;
    uint64_t entryCount() const override { return entryTable.size(); }
    bool usable(EntryId id) const override { return id < entryTable.size(); }
    bool isFolder(EntryId id) const override;
    bool isDeleted(EntryId id) const override;
    prendle::fs::EntryFacts facts(EntryId id) const override;
    prendle::EntryDisplayText displayText(EntryId id) const override;
    std::string sizeText(EntryId id) const override;
    prendle::Status extract(EntryId id, const prendle::FileHandle& out,
                            prendle::Progress& progress) override;

    // Writes the entry's data: a regular file through its block map or extent tree (holes
    // and unwritten extents as zeros), inline data from the inode, a symbolic link as a
    // small file holding its target. Unreadable pieces are left as zeros and reported.
    prendle::Status extractExtEntry(const ExtEntry& entry, const prendle::FileHandle& out,
                                    prendle::Progress& progress) const;
    prendle::EntryDisplayText describeExtEntry(const ExtEntry& entry) const;
    std::string extEntrySizeText(const ExtEntry& entry) const;

    const prendle::ext_format::Superblock& superblock() const { return superblock_; }
    uint64_t superblockOffset = 0;
    std::vector<ExtEntry> entryTable;
    EntryId rootIndex = prendle::fs::kNoEntry;
    EntryId orphanIndex = prendle::fs::kNoEntry;

    // A contiguous piece of a file: logical and physical block, block count; unwritten
    // pieces read as zeros.
    struct Run {
        uint64_t logicalBlock = 0;
        uint64_t physicalBlock = 0;
        uint64_t blockCount = 0;
        bool unwritten = false;
    };
    // Calls onRun for each mapped piece of the inode below blockLimit, merged where
    // contiguous; holes are left out. Stops at the first error onRun returns. Damage in
    // the map (blocks past the volume, repeated or unreadable index blocks) is skipped and
    // returned as an error after the rest was mapped.
    prendle::Status forEachRun(const prendle::ext_format::Inode& inode, uint64_t blockLimit,
                               const std::function<prendle::Status(const Run&)>& onRun) const;

private:
    struct InodeRecord {
        uint32_t number = 0;
        uint16_t mode = 0;
        bool allocated = false;
        uint64_t size = 0;
        uint64_t created = 0, modified = 0, accessed = 0;
    };
    struct NamedRecord {
        uint32_t inode = 0;
        uint8_t fileType = 0;
        bool deleted = false;
        std::string name;
    };

    prendle::Status findSuperblock(prendle::Progress& progress);
    prendle::Status readGroupDescriptors();
    void scanInodeTables(prendle::Progress& progress, prendle::fs::ParseSummary& summary);
    void scanDirectories(prendle::Progress& progress, prendle::fs::ParseSummary& summary);
    void buildTree(prendle::Progress& progress, prendle::fs::ParseSummary& summary);

    // The inode's bytes, re-read from its table.
    prendle::Result<std::vector<uint8_t>> readInode(uint32_t number) const;
    // The records of one folder inode; a problem is returned as text.
    std::vector<NamedRecord> readDirectory(uint32_t number, std::string& problem) const;
    const InodeRecord* findInode(uint32_t number) const;

    prendle::VolumeView view_;
    VolumeInfo volume;
    prendle::ext_format::Superblock superblock_;
    std::vector<prendle::ext_format::GroupDescriptor> groupDescriptors;
    std::vector<InodeRecord> inodes_;  // every inode with a mode, by number
    std::vector<std::pair<uint32_t, std::vector<NamedRecord>>> directories_;  // by inode
    uint64_t recordCount_ = 0;
};

namespace prendle::fs {

// The file-system table's line for ext2/3/4 volumes.
FileSystemType extFileSystemType();

}  // namespace prendle::fs
