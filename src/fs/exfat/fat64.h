// The exFAT parser: reads the boot sector and the FAT, walks the directory tree from the
// root over every cluster of each directory, turns live and deleted entry sets into
// ExFatEntry records and writes file data out in bounded pieces. Tests compare volumes
// made by mkfs.exfat and exfat-fuse with The Sleuth Kit's fls and icat.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "fs/common/file_system.h"
#include "fs/exfat/exfat_structures.h"

namespace prendle::fs {
// The exFAT line of the file-system table.
FileSystemType exFatFileSystem();
}  // namespace prendle::fs

// One entry set as the tree shows it.
struct ExFatEntry {
    uint8_t entryType = 0;  // 0x85 in use, 0x05 deleted
    uint16_t attributes = 0;
    uint32_t createStamp = 0;
    uint32_t modifyStamp = 0;
    uint32_t accessStamp = 0;
    uint8_t create10ms = 0;
    uint8_t modify10ms = 0;
    uint8_t createUtcOffset = 0;
    uint8_t modifyUtcOffset = 0;
    uint8_t accessUtcOffset = 0;
    uint8_t streamType = 0;
    uint8_t streamFlags = 0;
    uint8_t nameLength = 0;
    uint64_t validDataLength = 0;
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    std::string name;
    uint32_t parentIndex = 0;
    uint32_t selfIndex = 0;
    uint32_t firstChild = kNoExFatEntry;
    uint32_t nextSibling = kNoExFatEntry;
    uint32_t lastChild = kNoExFatEntry;
    bool deleted = false;  // the set is deleted, or a folder above it is
    bool checksumHolds = true;
    uint64_t setOffset = 0;  // volume byte offset of the File entry

    static constexpr uint32_t kNoExFatEntry = ~uint32_t{0};
    bool isFolder() const { return (attributes & prendle::exfat_format::kAttributeDirectory) != 0; }
};

class Fat64Class : public prendle::fs::FileSystem {
public:
    Fat64Class(const prendle::VolumeView& view, VolumeInfo volume,
               prendle::fs::OpenOptions options);

    static std::unique_ptr<prendle::fs::FileSystem> open(const prendle::VolumeView& view,
                                                         const VolumeInfo& volume,
                                                         const prendle::fs::OpenOptions& options);

    prendle::Result<prendle::fs::ParseSummary> parse(prendle::fs::ParseMode mode,
                                                     prendle::Progress& progress) override;
    std::vector<prendle::fs::EntryId> topLevel() const override;
    std::vector<prendle::fs::EntryId> children(prendle::fs::EntryId folder) const override;
    uint64_t entryCount() const override { return entryTable.size(); }
    bool usable(prendle::fs::EntryId id) const override;
    bool isFolder(prendle::fs::EntryId id) const override;
    bool isDeleted(prendle::fs::EntryId id) const override;
    prendle::fs::EntryFacts facts(prendle::fs::EntryId id) const override;
    prendle::EntryDisplayText displayText(prendle::fs::EntryId id) const override;
    std::string sizeText(prendle::fs::EntryId id) const override;
    prendle::Status extract(prendle::fs::EntryId id, const prendle::FileHandle& out,
                            prendle::Progress& progress) override;

    const prendle::exfat_format::BootSector& bootSector() const { return boot_; }
    uint64_t clusterBytes() const { return clusterBytes_; }

    // Index 0 is the root folder, never shown; the rest in the order the walk found them.
    std::vector<ExFatEntry> entryTable;

    // Directories are read over at most this much: exFAT's own limit for a directory.
    static constexpr uint64_t kMaxDirectoryBytes = 256ull << 20;
    // The FAT is kept in memory up to this size; larger ones are read in pieces per lookup.
    static constexpr uint64_t kMaxLoadedFatBytes = 64ull << 20;
    uint64_t maxLoadedFatBytes = kMaxLoadedFatBytes;  // tests lower it to read in pieces
    // Data and directories are read in pieces of at most this size.
    static constexpr uint64_t kPieceBytes = 1ull << 20;
    // Beyond this many entries the walk stops with a warning, so memory stays bounded.
    static constexpr uint32_t kMaxEntries = 20'000'000;

private:
    struct FatCursor;  // one caller's window onto a FAT too large to keep
    struct ClusterRun {
        uint32_t first = 0;
        uint32_t count = 0;
    };
    // The FAT entry of a cluster; 0 (free) when it lies outside the FAT.
    uint32_t fatValue(uint32_t cluster, FatCursor& cursor) const;
    bool validCluster(uint64_t cluster) const {
        return cluster >= 2 && cluster - 2 < boot_.clusterCount;
    }
    uint64_t clusterOffset(uint32_t cluster) const {
        return heapOffset_ + (uint64_t{cluster} - 2) * clusterBytes_;
    }
    void loadFat(prendle::fs::ParseSummary& summary);
    // The clusters of a directory, each not walked before, at most maxClusters.
    std::vector<ClusterRun> directoryRuns(uint32_t index, bool isRoot,
                                          prendle::fs::ParseSummary& summary);
    // Decodes every set of one directory and appends its entries; false when stopped.
    bool walkDirectory(uint32_t index, bool isRoot, std::vector<uint32_t>& liveFolders,
                       std::vector<uint32_t>& deletedFolders, prendle::Progress& progress,
                       prendle::fs::ParseSummary& summary);
    void appendEntry(const prendle::exfat_format::EntrySet& set, uint32_t parent,
                     uint64_t setOffset);
    std::string entryPath(uint32_t index) const;

    prendle::VolumeView view_;
    VolumeInfo volume_;
    prendle::fs::OpenOptions options_;
    prendle::exfat_format::BootSector boot_;
    uint64_t clusterBytes_ = 0;
    uint64_t heapOffset_ = 0;
    uint64_t fatOffset_ = 0;
    uint64_t fatEntriesOnDisk_ = 0;  // entries the FAT's length holds
    std::vector<uint32_t> fat_;      // the whole FAT when it is small enough
    std::unordered_set<uint32_t> walkedClusters_;
    uint64_t rejectedLiveSets_ = 0;
    uint64_t rejectedDeletedSets_ = 0;
    bool entryLimitReached_ = false;
    bool rootUnreadable_ = false;
};
