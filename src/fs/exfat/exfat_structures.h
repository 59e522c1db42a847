// exFAT on-disk structures: the boot sector and one directory entry set (File, Stream
// Extension and File Name entries, live or deleted), decoded through ByteReader, and the
// entry timestamps. Tests build sets by hand and compare volumes made by mkfs.exfat and
// exfat-fuse with The Sleuth Kit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/error.h"

namespace prendle::exfat_format {

inline constexpr uint8_t kTypeFile = 0x85;
inline constexpr uint8_t kTypeFileDeleted = 0x05;
inline constexpr uint8_t kTypeStream = 0xC0;
inline constexpr uint8_t kTypeName = 0xC1;
inline constexpr uint8_t kInUse = 0x80;
inline constexpr size_t kSlotBytes = 32;
inline constexpr uint16_t kAttributeDirectory = 0x10;
inline constexpr uint8_t kFlagNoFatChain = 0x02;
// A set is at most 1 File entry and 255 secondaries.
inline constexpr size_t kMaxSetSlots = 256;
// Cluster numbers from 0xFFFFFFF7 up are bad or end-of-chain marks.
inline constexpr uint32_t kLastClusterValue = 0xFFFFFFF6;
inline constexpr uint32_t kBadCluster = 0xFFFFFFF7;

struct BootSector {
    uint64_t volumeSectors = 0;
    uint32_t fatOffsetSectors = 0;
    uint32_t fatLengthSectors = 0;
    uint32_t heapOffsetSectors = 0;
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint16_t volumeFlags = 0;
    uint8_t bytesPerSectorShift = 0;
    uint8_t sectorsPerClusterShift = 0;
    uint8_t fatCount = 0;

    uint32_t bytesPerSector() const { return uint32_t{1} << bytesPerSectorShift; }
    uint64_t clusterBytes() const {
        return uint64_t{1} << (bytesPerSectorShift + sectorsPerClusterShift);
    }
    // The FAT in use: the second one when there are two and the active-FAT flag says so.
    uint64_t activeFatOffsetBytes() const;
    uint64_t heapOffsetBytes() const { return uint64_t{heapOffsetSectors} << bytesPerSectorShift; }
};

// Reads 3..10 "EXFAT   ", 72 volume length, 80 FAT offset, 84 FAT length, 88 heap offset,
// 92 cluster count, 96 root cluster, 106 volume flags, 108 bytes-per-sector shift,
// 109 sectors-per-cluster shift, 110 FAT count. Only values that would make the volume
// unreadable are refused: the text, the shifts, the offsets and the root cluster.
Result<BootSector> decodeBootSector(std::span<const uint8_t> sector);

// One entry set turned into the fields the tree shows.
struct EntrySet {
    uint8_t entryType = 0;  // 0x85 in use, 0x05 deleted
    uint8_t secondaryCount = 0;
    uint16_t attributes = 0;
    uint32_t createStamp = 0, modifyStamp = 0, accessStamp = 0;
    uint8_t create10ms = 0, modify10ms = 0;
    uint8_t createUtcOffset = 0, modifyUtcOffset = 0, accessUtcOffset = 0;
    uint8_t streamType = 0;
    uint8_t streamFlags = 0;
    uint8_t nameLength = 0;
    uint64_t validDataLength = 0;
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    std::string name;  // UTF-8
    bool checksumHolds = false;
};

enum class SetVerdict {
    Accepted,
    NeedMoreBytes,  // the set runs past the bytes given; read on and try again
    Rejected,       // not a usable set; skip its File entry only
};

struct DecodedSet {
    SetVerdict verdict = SetVerdict::Rejected;
    size_t slotCount = 1;  // 32-byte entries the set covers when accepted
    EntrySet set;
    std::string reason;  // why it was rejected
};

// The set whose File entry starts at `position` in `slots`. A set needs a Stream
// Extension right after the File entry, a name length of at least 1 covered by File
// Name entries, and a secondary count that holds them. A live set whose checksum fails
// is kept (the driver that wrote it may be at fault); a deleted one is kept only when its
// checksum holds, since its slots may since have been reused.
DecodedSet decodeEntrySet(std::span<const uint8_t> slots, size_t position);

// The set checksum over `slotCount` entries, skipping bytes 2..3 of the first; deleted
// entries are counted with their in-use bit set, as they were when the set was written.
uint16_t entrySetChecksum(std::span<const uint8_t> set, bool asInUse);

// A timestamp as FILETIME ticks (100 ns since 1601 UTC): the DOS date and time, plus the
// 10 ms field (0..199, ignored above) and, when its valid bit is set, less the UTC
// offset in 15-minute steps. Without a valid offset the time is taken as UTC. nullopt
// when the date or time fields are not a calendar time.
std::optional<uint64_t> timestampToFileTime(uint32_t stamp, uint8_t tenMilliseconds,
                                            uint8_t utcOffset);

}  // namespace prendle::exfat_format
