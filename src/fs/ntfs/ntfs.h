// The NTFS parser: finds the MFT from the boot sector (or by a scan of the volume), reads
// every record into an MftEntry, links entries to their parents, gathers orphans under
// ORPHAN_ENTRY and writes file data out. Tests compare with The Sleuth Kit's fls and icat
// on volumes made by mkntfs and ntfs-3g.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "controls/check_tree.h"
#include "common/error.h"
#include "common/file_handle.h"
#include "disk/read_write_interface.h"
#include "fs/common/display_format.h"
#include "fs/ntfs/ntfs_structures.h"
#include "volumes/volume_info.h"

// One MFT record. In the standard mode the entry's index is its record number.
struct MftEntry {
    uint32_t signature = 0;
    uint64_t recordOffset = 0;
    std::string name;  // UTF-8; empty when the record gave none
    bool hasName = false;
    uint64_t parentIndex = 0;
    uint64_t size = 0;         // allocated size from FILE_NAME
    uint64_t dataSize = 0;     // real size of the unnamed data stream
    uint16_t recordFlags = 0;  // bit 0 in use, bit 1 directory
    uint32_t fileAttributes = 0;  // FILE_NAME flags: read-only, hidden, system, ...
    uint8_t kind = 0;          // 'D' for a directory
    uint64_t selfIndex = 0;
    uint8_t orphan = 0;
    uint64_t firstChild = 0;
    uint64_t nextSibling = 0;
    uint64_t created = 0, modified = 0, accessed = 0;  // FILETIMEs, UTC
    uint64_t baseRecord = 0;    // for an extension record, the record it extends
    bool hasDataStart = false;  // the record holds the start of the unnamed data stream
};

inline constexpr uint64_t kNoSibling = ~uint64_t{0};
inline constexpr char kOrphanEntryName[] = "ORPHAN_ENTRY";

namespace prendle {

// The browser page: status line and progress.
class ParseListener {
public:
    virtual ~ParseListener() = default;
    virtual void setStatus(const std::string& text) = 0;
    virtual void setProgressRange(uint64_t lower, uint64_t upper) = 0;
    virtual void setProgressPos(uint64_t position) = 0;
};

enum class NtfsMode { Standard = 1, Advanced = 2, Deep = 3 };

}  // namespace prendle

class ntfs {
public:
    ntfs(readWriteInterface& reader, VolumeInfo volumeRecord, prendle::ParseListener& listener);

    // The standard or deep parse, start to finish; ends with the tree linked.
    void parse(prendle::NtfsMode mode);

    // Writes the unnamed data stream of a file entry into `out` (created by the caller);
    // the caller restores the times.
    prendle::Status extractData(uint64_t index, const prendle::FileHandle& out);

    // The root's children (in the deep mode ORPHAN_ENTRY alone) as items under
    // rootItem: item data is the entry index, deleted entries are red. Returns the items.
    std::vector<TreeItem> insertFirstLevel(CXHtmlTree& tree, TreeItem rootItem) const;

    // Writes entry `indexText` (decimal) as a file named after it in outputPath (a
    // folder ending in '/'), then restores its access and write times. On return
    // outputPath holds the file's path. The name is made safe for the folder first.
    prendle::Status extractMftEntry(const std::string& indexText, std::string& outputPath);

    // The list texts of one entry: times in local time, attributes, size.
    prendle::EntryDisplayText displayText(uint64_t index) const;
    std::string sizeText(uint64_t index) const;

    // Children of an entry in sibling order.
    std::vector<uint64_t> childrenOf(uint64_t index) const;
    bool hasRoot() const { return rootIndex < entryTable.size(); }
    bool deepMode() const { return mode_ == prendle::NtfsMode::Deep; }

    std::vector<MftEntry> entryTable;
    uint64_t rootIndex = 5;
    uint64_t orphanIndex = ~uint64_t{0};
    std::atomic<bool> stopRequested{false};
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
    void mergeExtensionRecords();
    void scanDeepForRecords();
    // Walks the volume in 10 MiB chunks for records; onRecord(entry, offset) returns true
    // to end the walk, which then returns true.
    template <class OnRecord>
    bool scanVolumeForRecords(bool strictHeader, uint64_t progressEvery, OnRecord onRecord);
    void buildTree();
    void placeOrphans();

    void parseRecord(std::span<uint8_t> record, uint64_t recordOffset, MftEntry& entry);
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
    };
    prendle::Result<DataStream> readDataStream(uint64_t recordOffset, uint64_t recordNumber);
    prendle::Result<std::vector<uint8_t>> readRecordAt(uint64_t recordOffset);
    // Byte offset of MFT record n through the MFT's runs; nullopt outside them.
    std::optional<uint64_t> mftRecordOffset(uint64_t recordNumber) const;
    uint64_t volumeClusters() const;

    readWriteInterface& reader_;
    prendle::ParseListener& listener_;
    prendle::ntfs_format::BootSector boot_;
    prendle::NtfsMode mode_ = prendle::NtfsMode::Standard;
    uint64_t mftBytes_ = 0;  // the MFT's real size, 0 when unknown
};
