// The NTFS parser: finds the MFT from the boot sector (or by a scan of the volume), reads
// every record into an MftEntry, links entries to their parents, gathers orphans under
// ORPHAN_ENTRY and writes file data out. Tests compare with The Sleuth Kit's fls and icat
// on volumes made by mkntfs and ntfs-3g.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "common/file_handle.h"
#include "common/progress.h"
#include "disk/volume_view.h"
#include "fs/common/display_format.h"
#include "fs/common/file_system.h"
#include "fs/ntfs/ntfs_structures.h"
#include "volumes/volume_info.h"

// One MFT record. In the standard mode the entry's index is its record number.
struct MftEntry {
    uint32_t signature = 0;
    uint64_t recordOffset = 0;
    std::string name;  // UTF-8; empty when the record gave none
    bool hasName = false;
    uint64_t parentIndex = 0;
    uint64_t size = 0;            // allocated size from FILE_NAME
    uint64_t dataSize = 0;        // real size of the unnamed data stream
    uint16_t recordFlags = 0;     // bit 0 in use, bit 1 directory
    uint32_t fileAttributes = 0;  // FILE_NAME flags: read-only, hidden, system, ...
    uint8_t kind = 0;             // 'D' for a directory
    uint64_t selfIndex = 0;
    uint8_t orphan = 0;
    uint64_t firstChild = 0;
    uint64_t nextSibling = 0;
    uint64_t created = 0, modified = 0, accessed = 0;  // FILETIMEs, UTC
    uint64_t baseRecord = 0;    // for an extension record, the record it extends
    bool hasDataStart = false;  // the record holds the start of the unnamed data stream
    uint32_t ownNumber = 0;     // the number the record carries (NTFS 3.1)
    bool hasOwnNumber = false;
};

inline constexpr uint64_t kNoSibling = ~uint64_t{0};
inline constexpr char kOrphanEntryName[] = "ORPHAN_ENTRY";

inline constexpr uint8_t kDirectoryKind = 'D';

namespace prendle::fs {
// The NTFS line of the file-system table.
FileSystemType ntfsFileSystem();
}  // namespace prendle::fs

class ntfs : public prendle::fs::FileSystem {
public:
    ntfs(const prendle::VolumeView& view, VolumeInfo volumeRecord);

    // The standard or deep parse, start to finish; ends with the tree linked. The
    // advanced mode parses as the standard one until its candidate search is built.
    prendle::Result<prendle::fs::ParseSummary> parse(prendle::fs::ParseMode mode,
                                                     prendle::Progress& progress) override;

    // Writes the unnamed data stream of a file entry into `out` (created by the caller);
    // the caller restores the times.
    prendle::Status extract(uint64_t index, const prendle::FileHandle& out,
                            prendle::Progress& progress) override;

    // Writes entry `indexText` (decimal) as a file named after it in outputPath (a
    // folder ending in '/'), then restores its access and write times. On return
    // outputPath holds the file's path. The name is made safe for the folder first.
    prendle::Status extractMftEntry(const std::string& indexText, std::string& outputPath);

    std::vector<uint64_t> topLevel() const override;
    std::vector<uint64_t> children(uint64_t index) const override { return childrenOf(index); }
    uint64_t entryCount() const override { return entryTable.size(); }
    bool usable(uint64_t index) const override;
    bool isFolder(uint64_t index) const override;
    bool isDeleted(uint64_t index) const override;
    prendle::fs::EntryFacts facts(uint64_t index) const override;
    // The list texts of one entry: times in local time, attributes, size.
    prendle::EntryDisplayText displayText(uint64_t index) const override;
    std::string sizeText(uint64_t index) const override;
    bool skippedOnSave(uint64_t index) const override;

    // Children of an entry in sibling order.
    std::vector<uint64_t> childrenOf(uint64_t index) const;
    bool hasRoot() const { return rootIndex < entryTable.size(); }
    bool deepMode() const { return mode_ == prendle::fs::ParseMode::Deep; }

    std::vector<MftEntry> entryTable;
    uint64_t rootIndex = 5;
    uint64_t orphanIndex = ~uint64_t{0};
    uint64_t bytesPerCluster = 0;
    uint32_t bytesPerRecord = 1024;
    uint64_t volumeBytes = 0;
    bool mftRunKnown = false;
    std::vector<prendle::ntfs_format::DataRun> mftRuns;
    VolumeInfo volume;

private:
    bool readBootSector();
    bool locateMftFromBoot();
    bool findMftByScan();
    void loadMftRecords();
    void mergeExtensionRecords(const std::unordered_map<uint64_t, uint64_t>* indexOfRecord);
    void scanDeepForRecords();
    // Walks the volume in 10 MiB chunks for records; onRecord(entry, offset) returns true
    // to end the walk, which then returns true.
    template <class OnRecord>
    bool scanVolumeForRecords(bool strictHeader, uint64_t progressEvery, OnRecord onRecord);
    void buildTree();
    void placeOrphans();

    void parseRecord(std::span<uint8_t> record, uint64_t recordOffset, MftEntry& entry);
    void countFound(prendle::fs::ParseSummary& summary) const;
    // The unnamed $DATA runs of a record, following its attribute list into extension
    // records; also the stream's sizes and flags.
    struct DataStream {
        bool found = false;
        bool resident = false;
        std::vector<uint8_t> residentBytes;
        std::vector<prendle::ntfs_format::DataRun> runs;
        uint64_t realSize = 0;
        uint64_t initializedSize = 0;
        uint16_t flags = 0;
        uint16_t compressionUnit = 0;
        // A run list broken part-way: the runs before the damage are kept.
        std::optional<prendle::Error> damage;
    };
    prendle::Result<DataStream> readDataStream(uint64_t recordOffset, uint64_t recordNumber);
    prendle::Result<std::vector<uint8_t>> readRecordAt(uint64_t recordOffset);
    // Byte offset of MFT record n through the MFT's runs; nullopt outside them.
    std::optional<uint64_t> mftRecordOffset(uint64_t recordNumber) const;
    uint64_t volumeClusters() const;

    prendle::VolumeView view_;
    prendle::Progress* progress_ = &quiet_;  // the parse's, while it runs
    prendle::Progress quiet_;
    prendle::ntfs_format::BootSector boot_;
    prendle::fs::ParseMode mode_ = prendle::fs::ParseMode::Standard;
    // Deep mode has no MFT runs: records found by the scan, by their own numbers, so that
    // attribute lists can still reach their extension records.
    std::unordered_map<uint64_t, uint64_t> scannedRecordOffsets_;
    std::vector<std::string> warnings_;
    uint64_t mftBytes_ = 0;  // the MFT's real size, 0 when unknown
};
