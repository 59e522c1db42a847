// ext2/ext3/ext4 on-disk structures: superblock, group descriptors, inodes, extent tree
// nodes, in-inode extended attributes and directory blocks. Tests use volumes made by
// mkfs.ext2/3/4 and debugfs, compared with The Sleuth Kit's fls and icat.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace prendle::ext_format {

inline constexpr uint16_t kSuperblockMagic = 0xEF53;
inline constexpr uint16_t kExtentMagic = 0xF30A;
inline constexpr uint32_t kSuperblockBytes = 1024;
inline constexpr uint32_t kRootInode = 2;

// Feature flags this reader acts on.
inline constexpr uint32_t kIncompatFileType = 0x0002;
inline constexpr uint32_t kIncompatMetaGroups = 0x0010;
inline constexpr uint32_t kIncompat64Bit = 0x0080;
inline constexpr uint32_t kRoCompatSparseSuper = 0x0001;
inline constexpr uint32_t kRoCompatGroupChecksum = 0x0010;
inline constexpr uint32_t kRoCompatMetadataChecksum = 0x0400;
inline constexpr uint32_t kCompatSparseSuper2 = 0x0200;

// Inode flags.
inline constexpr uint32_t kInodeIndexed = 0x00001000;  // hashed directory
inline constexpr uint32_t kInodeExtents = 0x00080000;
inline constexpr uint32_t kInodeInlineData = 0x10000000;

// Group descriptor flags.
inline constexpr uint16_t kGroupInodesUninitialised = 0x0001;

inline constexpr uint16_t kModeTypeMask = 0xF000;
inline constexpr uint16_t kModeDirectory = 0x4000;
inline constexpr uint16_t kModeRegular = 0x8000;
inline constexpr uint16_t kModeSymlink = 0xA000;

struct Superblock {
    uint32_t inodeCount = 0;        // 0
    uint64_t blockCount = 0;        // 4, with 336 (hi) on 64-bit volumes
    uint32_t firstDataBlock = 0;    // 20
    uint32_t logBlockSize = 0;      // 24
    uint32_t blocksPerGroup = 0;    // 32
    uint32_t inodesPerGroup = 0;    // 40
    uint16_t magic = 0;             // 56
    uint32_t revisionLevel = 0;     // 76
    uint32_t firstInode = 11;       // 84 (revision 1 on)
    uint32_t inodeSize = 128;       // 88 (revision 1 on)
    uint32_t featureCompat = 0;     // 92
    uint32_t featureIncompat = 0;   // 96
    uint32_t featureRoCompat = 0;   // 100
    uint32_t descriptorBytes = 32;  // 254 when 64-bit, else 32
    uint32_t firstMetaGroup = 0;    // 260
    uint32_t backupGroups[2] = {};  // 588 (sparse_super2)
    // Derived.
    uint32_t blockSize = 0;
    uint32_t groupCount = 0;

    bool typedDirEntries() const { return (featureIncompat & kIncompatFileType) != 0; }
    bool groupChecksums() const {
        return (featureRoCompat & (kRoCompatGroupChecksum | kRoCompatMetadataChecksum)) != 0;
    }
    uint64_t volumeBytes() const { return blockCount * blockSize; }
};

// Decodes and checks a superblock: the magic, a block size of 1 KiB to 64 KiB, groups and
// inodes per group in range, an inode size of 128 or more that is a power of two and fits a
// block, and descriptor sizes the 64-bit feature allows.
Result<Superblock> decodeSuperblock(std::span<const uint8_t> bytes);

// Whether group g holds a superblock backup (and so the descriptor table's copy).
bool groupHasSuperblock(const Superblock& superblock, uint64_t group);

struct GroupDescriptor {
    uint64_t inodeBitmapBlock = 0;  // 4, with 36 (hi)
    uint64_t inodeTableBlock = 0;   // 8, with 40 (hi)
    uint16_t flags = 0;             // 18
    uint32_t unusedInodes = 0;      // 28, with 50 (hi): inodes at the table's end never used
};

GroupDescriptor decodeGroupDescriptor(std::span<const uint8_t> bytes, uint32_t descriptorBytes);

struct Inode {
    uint16_t mode = 0;                   // 0
    uint64_t size = 0;                   // 4, with 108 (hi)
    uint32_t deletionTime = 0;           // 20
    uint16_t linkCount = 0;              // 26
    uint32_t flags = 0;                  // 32
    std::span<const uint8_t> blockArea;  // 40, 60 bytes: pointers, extent root or inline data
    // FILETIMEs (100 ns ticks since 1601 UTC) from the seconds and, where the inode is large
    // enough, the extra fields (nanoseconds and epoch bits); 0 when absent.
    uint64_t accessed = 0;   // 8, 140
    uint64_t changed = 0;    // 12, 132
    uint64_t modified = 0;   // 16, 136
    uint64_t created = 0;    // 144, 148
    uint16_t extraSize = 0;  // 128

    uint16_t type() const { return mode & kModeTypeMask; }
    bool isDirectory() const { return type() == kModeDirectory; }
    bool isRegular() const { return type() == kModeRegular; }
    bool isSymlink() const { return type() == kModeSymlink; }
};

// The inode's bytes must stay alive while blockArea is used.
Inode decodeInode(std::span<const uint8_t> bytes);

// Unix seconds with the extra field's epoch bits and nanoseconds as a FILETIME; 0 before 1601.
uint64_t extTimeToFileTime(uint32_t seconds, bool hasExtra, uint32_t extra);

// The value of the in-inode extended attribute system.data (the rest of inline data);
// empty when the inode has none. Bounded by the inode's bytes.
std::span<const uint8_t> inlineDataAttribute(std::span<const uint8_t> inodeBytes);

struct ExtentHeader {
    uint16_t magic = 0;    // 0
    uint16_t entries = 0;  // 2
    uint16_t maximum = 0;  // 4
    uint16_t depth = 0;    // 6
};

// One extent (depth 0) or one index entry (depth above 0).
struct ExtentEntry {
    uint32_t logicalBlock = 0;   // 0
    uint32_t blockCount = 0;     // leaf: 4, less 32768 when above it
    bool unwritten = false;      // leaf: length above 32768
    uint64_t physicalBlock = 0;  // leaf: 8 (lo) and 6 (hi); index: 4 (lo) and 8 (hi)
};

// Decodes a node's header and entries, checking the magic, the entry count against the
// node's room and the stated maximum, and a depth of at most 5.
Result<std::vector<ExtentEntry>> decodeExtentNode(std::span<const uint8_t> node,
                                                  ExtentHeader& header);

struct DirectoryRecord {
    uint32_t inode = 0;
    uint8_t fileType = 0;  // 0 when the volume's entries carry none
    bool deleted = false;  // read from the slack of another record
    std::string_view name;
};

// Walks one directory block: live records in order and, when wantDeleted, the removed
// records still readable in each record's slack. "." and ".." are passed on too. A record
// whose length leaves the block ends the walk with a warning text in *problem.
void parseDirectoryBlock(std::span<const uint8_t> block, bool typed, uint32_t inodeCount,
                         bool wantDeleted,
                         const std::function<void(const DirectoryRecord&)>& onRecord,
                         std::string* problem);

}  // namespace prendle::ext_format
