// The FAT12/16 and FAT32 parsers: boot sector, the first FAT, a walk of every directory
// from the root (live and deleted slots, long names), the entry tree and extraction of
// file data. Tests compare with The Sleuth Kit's fls and icat on volumes made by mkfs.fat
// and mtools.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fs/common/file_system.h"
#include "fs/fat/fat_structures.h"

// One directory slot as found by the walk. Index 0 of the table is the root placeholder.
struct FatEntry {
    uint8_t attributes = 0;
    uint8_t createTenths = 0;  // 10 ms units added to createTime (0..199)
    uint16_t createTime = 0;
    uint16_t createDate = 0;
    uint16_t accessDate = 0;
    uint16_t clusterHigh = 0;
    uint16_t writeTime = 0;
    uint16_t writeDate = 0;
    uint16_t clusterLow = 0;
    uint32_t size = 0;
    uint8_t deleted = 0;  // the slot itself or a folder above it is deleted
    std::string name;     // UTF-8
    uint32_t parentIndex = 0;
    uint32_t selfIndex = 0;
    uint32_t firstChild = kNone;
    uint32_t nextSibling = kNone;
    uint64_t slotOffset = 0;  // volume offset of the short slot

    static constexpr uint32_t kNone = ~uint32_t{0};
    uint32_t firstCluster() const { return uint32_t{clusterHigh} << 16 | clusterLow; }
    bool isFolder() const { return (attributes & prendle::fat_format::kDirectory) != 0; }
};

namespace prendle::fat {

// What both classes share; they differ in the widths they accept and in their texts.
class FatVolume : public fs::FileSystem {
public:
    FatVolume(const VolumeView& view, const fs::OpenOptions& options, bool fat32Class);

    Result<fs::ParseSummary> parse(fs::ParseMode mode, Progress& progress) override;
    std::vector<fs::EntryId> topLevel() const override { return children(0); }
    std::vector<fs::EntryId> children(fs::EntryId folder) const override;
    uint64_t entryCount() const override { return entryTable.size(); }
    bool usable(fs::EntryId id) const override { return id > 0 && id < entryTable.size(); }
    bool isFolder(fs::EntryId id) const override;
    bool isDeleted(fs::EntryId id) const override;
    fs::EntryFacts facts(fs::EntryId id) const override;
    EntryDisplayText displayText(fs::EntryId id) const override;
    Status extract(fs::EntryId id, const FileHandle& out, Progress& progress) override;

    // The clusters extraction reads for an entry, in file order; an Error when its data
    // cannot be found. Public for tests.
    Result<std::vector<uint32_t>> dataClusters(const FatEntry& entry) const;

    std::vector<FatEntry> entryTable;
    fat_format::BootSector boot;
    fat_format::FatTable fatTable;

    static constexpr uint32_t kMaxDepth = 256;
    // Windows and Linux stop a folder at 65 536 slots (2 MiB); twice that is read.
    static constexpr uint64_t kMaxDirectoryBytes = uint64_t{4} << 20;

private:
    struct Pending {
        uint32_t index;  // the folder's entry
        uint32_t depth;
    };
    Status loadFat();
    // Reads a run of clusters (coalescing neighbours) or the root region into one buffer.
    std::vector<uint8_t> readClusters(const std::vector<uint32_t>& clusters);
    void walkDirectory(uint32_t folderIndex, std::span<const uint8_t> bytes, uint64_t firstOffset,
                       const std::vector<uint32_t>& clusters, bool isRoot, uint32_t depth,
                       std::vector<Pending>& work, fs::ParseSummary& summary);
    void linkEntries(Progress& progress);

    VolumeView view_;
    fs::OpenOptions options_;
    bool fat32Class_;
    std::vector<bool> walkedDirectoryCluster_;
};

class Fat16Class : public FatVolume {
public:
    Fat16Class(const VolumeView& view, const fs::OpenOptions& options)
        : FatVolume(view, options, false) {}
};

class Fat32Class : public FatVolume {
public:
    Fat32Class(const VolumeView& view, const fs::OpenOptions& options)
        : FatVolume(view, options, true) {}
};

}  // namespace prendle::fat

namespace prendle::fs {
// The two table lines: FAT12 and FAT16 volumes, and FAT32 volumes.
FileSystemType fatFileSystem16();
FileSystemType fatFileSystem32();
}  // namespace prendle::fs
