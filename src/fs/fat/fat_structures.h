// FAT12/16/32 on-disk structures: the boot sector's BIOS parameter block, the FAT itself,
// 32-byte directory slots (short entries and long-name pieces) and DOS dates. Tested on
// volumes made by mkfs.fat and mtools and compared with The Sleuth Kit's fls and icat.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"

namespace prendle::fat_format {

enum class FatWidth { Fat12 = 12, Fat16 = 16, Fat32 = 32 };

// Offsets read: 3 OEM text (8), 11 bytes per sector, 13 sectors per cluster, 14 reserved
// sectors, 16 FAT count, 17 root entry count, 19 total sectors (16-bit), 22 sectors per FAT
// (16-bit), 32 total sectors (32-bit), 36 sectors per FAT (32-bit), 44 root cluster.
struct BootSector {
    std::string oemText;
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t rootEntryCount = 0;
    uint64_t totalSectors = 0;
    uint32_t sectorsPerFat = 0;  // whichever field the width uses
    uint32_t rootCluster = 0;    // FAT32 only

    // Derived once the fields passed their checks.
    FatWidth width = FatWidth::Fat16;
    uint64_t clusterBytes = 0;
    uint64_t fatOffset = 0;
    uint64_t fatBytes = 0;
    uint64_t rootDirectoryOffset = 0;  // FAT12/16: the fixed root region
    uint64_t rootDirectoryBytes = 0;
    uint64_t dataOffset = 0;    // cluster 2
    uint32_t clusterCount = 0;  // data clusters: numbers 2 .. clusterCount + 1

    uint64_t clusterOffset(uint32_t cluster) const {
        return dataOffset + uint64_t{cluster - 2} * clusterBytes;
    }
    uint32_t lastCluster() const { return clusterCount + 1; }
};

// Accepts any sound parameter block whatever the OEM text: a 16-bit sectors-per-FAT of 0
// means FAT32 (as Linux reads it); otherwise the cluster count picks FAT12 or FAT16.
Result<BootSector> decodeBootSector(std::span<const uint8_t> sector);

// The first FAT as read, with entries decoded on demand at the volume's width.
class FatTable {
public:
    FatTable() = default;
    FatTable(FatWidth width, std::vector<uint8_t> bytes, uint32_t lastCluster);

    // The raw entry (FAT32 masked to 28 bits); 0 for numbers outside the table.
    uint32_t entry(uint32_t cluster) const;
    bool isFree(uint32_t cluster) const { return entry(cluster) == 0; }
    // The next cluster of a chain, or 0 when the chain ends here: an end mark, a free or
    // bad cluster, or a value outside 2..lastCluster.
    uint32_t next(uint32_t cluster) const;
    uint32_t lastCluster() const { return lastCluster_; }
    bool inRange(uint32_t cluster) const { return cluster >= 2 && cluster <= lastCluster_; }

private:
    FatWidth width_ = FatWidth::Fat16;
    std::vector<uint8_t> bytes_;
    uint32_t lastCluster_ = 1;
};

// Follows a chain from first, at most maxClusters long; a revisited cluster (a loop) ends it.
std::vector<uint32_t> followChain(const FatTable& fat, uint32_t first, uint64_t maxClusters,
                                  bool* looped = nullptr);

inline constexpr size_t kSlotBytes = 32;
inline constexpr uint8_t kDeletedMark = 0xE5;
inline constexpr uint8_t kLongNameAttributes = 0x0F;
inline constexpr uint8_t kVolumeLabel = 0x08;
inline constexpr uint8_t kDirectory = 0x10;

// A short entry's fixed fields, by slot offset: 0 name (11), 11 attributes, 12 case flags,
// 13 creation 10 ms units, 14 creation time, 16 creation date, 18 access date, 20 cluster
// high, 22 write time, 24 write date, 26 cluster low, 28 size.
struct ShortSlot {
    uint8_t nameBytes[11] = {};
    uint8_t attributes = 0;
    uint8_t caseFlags = 0;
    uint8_t createTenths = 0;
    uint16_t createTime = 0, createDate = 0, accessDate = 0, clusterHigh = 0;
    uint16_t writeTime = 0, writeDate = 0, clusterLow = 0;
    uint32_t size = 0;
};
ShortSlot decodeShortSlot(std::span<const uint8_t, kSlotBytes> slot);

// "README.TXT" from the 11 name bytes: blanks trimmed, a dot only before a non-empty
// extension, 0x05 read as 0xE5, bytes above 0x7F decoded from code page 437, the NT
// lower-case flags applied. A deleted entry's lost first letter shows as '_'.
std::string shortNameText(const ShortSlot& slot, bool deleted);
// The checksum a long name's pieces carry of their short entry's 11 name bytes.
uint8_t shortNameChecksum(const uint8_t (&nameBytes)[11]);
// The 13 UTF-16 units of one long-name piece (bytes 1..10, 14..25, 28..31), cut at the
// first NUL; 0xFFFF padding dropped.
std::vector<uint16_t> longNamePiece(std::span<const uint8_t, kSlotBytes> slot);
std::string utf16UnitsToUtf8(const std::vector<uint16_t>& units);

// A DOS date and time as FILETIME ticks, the fields taken as UTC wall-clock time (what
// Linux vfat does by default: the disk does not say which zone wrote it). tenMs is the
// creation field's 10 ms count (0..199). 0 when the date is 0 or any field is out of range.
uint64_t dosTimeToFileTime(uint16_t date, uint16_t time, uint8_t tenMs = 0);

}  // namespace prendle::fat_format
