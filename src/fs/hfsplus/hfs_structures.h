// HFS+ on-disk structures, all big-endian: the volume header, fork data, B-tree node
// descriptors and header records, catalog, extents-overflow and attributes records.
// Tests use a volume written by macOS and volumes from our own builder, compared with
// The Sleuth Kit (fsstat, fls, istat, icat).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"

// One run of allocation blocks of a fork.
struct HfsExtent {
    uint32_t startBlock = 0;
    uint32_t blockCount = 0;
};

namespace prendle::hfs_format {

inline constexpr uint16_t kSignatureHfsPlus = 0x482B;  // "H+"
inline constexpr uint16_t kSignatureHfsX = 0x4858;     // "HX"
inline constexpr uint64_t kVolumeHeaderOffset = 1024;
inline constexpr size_t kVolumeHeaderBytes = 512;
inline constexpr size_t kNodeDescriptorBytes = 14;
inline constexpr uint32_t kMinNodeBytes = 512;
inline constexpr uint32_t kMaxNodeBytes = 32768;
inline constexpr uint32_t kRootFolderId = 2;
inline constexpr uint32_t kExtentsFileId = 3;
inline constexpr uint32_t kCatalogFileId = 4;
inline constexpr uint32_t kAttributesFileId = 8;
inline constexpr uint32_t kFirstUserId = 16;
inline constexpr uint8_t kDataFork = 0x00;
inline constexpr uint8_t kResourceFork = 0xFF;

// A fork data record (80 bytes): logicalSize 0, clumpSize 8, totalBlocks 12, extents 16.
struct ForkData {
    uint64_t logicalSize = 0;
    uint32_t clumpSize = 0;
    uint32_t totalBlocks = 0;
    std::array<HfsExtent, 8> extents{};
};
ForkData decodeForkData(std::span<const uint8_t> bytes);

// The volume header at byte 1024 (and its copy 1024 bytes before the volume's end).
struct VolumeHeader {
    uint16_t signature = 0;      // 0
    uint16_t version = 0;        // 2
    uint32_t attributes = 0;     // 4
    uint32_t createDate = 0;     // 16 (local time, unlike catalog dates)
    uint32_t modifyDate = 0;     // 20
    uint32_t fileCount = 0;      // 32
    uint32_t folderCount = 0;    // 36
    uint32_t blockSize = 0;      // 40
    uint32_t totalBlocks = 0;    // 44
    uint32_t freeBlocks = 0;     // 48
    uint32_t nextCatalogID = 0;  // 64
    ForkData allocationFile;     // 112
    ForkData extentsFile;        // 192
    ForkData catalogFile;        // 272
    ForkData attributesFile;     // 352
};
// Checks the signature and that blockSize is a power of two from 512 and totalBlocks is
// not 0; anything else is Corrupt.
Result<VolumeHeader> decodeVolumeHeader(std::span<const uint8_t> bytes);

// Node descriptor (14 bytes): fLink 0, bLink 4, kind 8, height 9, numRecords 10.
struct NodeDescriptor {
    uint32_t fLink = 0;
    uint32_t bLink = 0;
    int8_t kind = 0;  // -1 leaf, 0 index, 1 header, 2 map
    uint8_t height = 0;
    uint16_t numRecords = 0;
};
inline constexpr int8_t kLeafNode = -1;
inline constexpr int8_t kIndexNode = 0;
inline constexpr int8_t kHeaderNode = 1;
inline constexpr int8_t kMapNode = 2;
NodeDescriptor decodeNodeDescriptor(std::span<const uint8_t> node);

// The header record of node 0, at byte 14: treeDepth 14, rootNode 16, leafRecords 20,
// firstLeafNode 24, lastLeafNode 28, nodeSize 32, maxKeyLength 34, totalNodes 36,
// freeNodes 40.
struct BTreeHeader {
    uint16_t treeDepth = 0;
    uint32_t rootNode = 0;
    uint32_t leafRecords = 0;
    uint32_t firstLeafNode = 0;
    uint32_t lastLeafNode = 0;
    uint32_t nodeSize = 0;
    uint16_t maxKeyLength = 0;
    uint32_t totalNodes = 0;
    uint32_t freeNodes = 0;
};
// Refuses a node size that is not a power of two in 512..32768 and a tree of no nodes.
Result<BTreeHeader> decodeBTreeHeader(std::span<const uint8_t> headerNode);

// One record's bytes inside its node: from its offset to the next record's offset (or
// the start of the offset table), so that a record can never run into its neighbour.
struct RecordSpan {
    uint32_t offset = 0;
    uint32_t length = 0;
};
// The records of a node, from the offset table at its end. numRecords is bounded by the
// room the table takes; offsets below the descriptor or inside the table are skipped.
// `freeSpace`, when given, receives the offset where the unused bytes begin.
std::vector<RecordSpan> recordSpans(std::span<const uint8_t> node, uint16_t numRecords,
                                    uint32_t* freeSpace = nullptr);

// Catalog key: keyLength 0, parentID 2, nodeName length 6 (UTF-16 units), characters 8.
struct CatalogKey {
    uint16_t keyLength = 0;
    uint32_t parentId = 0;
    std::vector<uint16_t> name;
};
// Refuses a key that does not fit its record or whose name does not fit the key.
Result<CatalogKey> decodeCatalogKey(std::span<const uint8_t> record);

inline constexpr uint16_t kFolderRecord = 1;
inline constexpr uint16_t kFileRecord = 2;
inline constexpr uint16_t kFolderThreadRecord = 3;
inline constexpr uint16_t kFileThreadRecord = 4;
inline constexpr size_t kFolderRecordBytes = 88;
inline constexpr size_t kFileRecordBytes = 248;

// What folder and file records share: recordType 0, flags 2, the ID at 8, dates 12..31
// (seconds since 1904 UTC), the BSD info 32..47, Finder info 48..
struct CatalogRecord {
    uint16_t recordType = 0;
    uint16_t flags = 0;             // 2
    uint32_t id = 0;                // 8: folderID or fileID
    uint32_t createDate = 0;        // 12
    uint32_t contentModDate = 0;    // 16
    uint32_t attributeModDate = 0;  // 20
    uint32_t accessDate = 0;        // 24
    uint32_t ownerId = 0;           // 32
    uint32_t groupId = 0;           // 36
    uint8_t adminFlags = 0;         // 40
    uint8_t ownerFlags = 0;         // 41: 0x20 compressed
    uint16_t fileMode = 0;          // 42
    uint32_t special = 0;           // 44: a hard link's inode number
    uint32_t fileType = 0;          // 48 (files)
    uint32_t creator = 0;           // 52 (files)
    ForkData dataFork;              // 88 (files)
    ForkData resourceFork;          // 168 (files)
};
// A folder or file record following its key; Unsupported for thread records and
// Corrupt for any type whose fixed part does not fit.
Result<CatalogRecord> decodeCatalogRecord(std::span<const uint8_t> data);

inline constexpr uint8_t kOwnerFlagCompressed = 0x20;
inline constexpr uint32_t kTypeHardLink = 0x686C6E6B;      // "hlnk"
inline constexpr uint32_t kCreatorHfsPlus = 0x6866732B;    // "hfs+"
inline constexpr uint32_t kTypeFolderAlias = 0x66647270;   // "fdrp"
inline constexpr uint32_t kCreatorMacs = 0x4D414353;       // "MACS"
inline constexpr uint32_t kTypeSymbolicLink = 0x736C6E6B;  // "slnk"

// Extents-overflow key (12 bytes): keyLength 0 (10), forkType 2, fileID 4, startBlock 8;
// eight extent descriptors follow at 12.
struct ExtentsRecord {
    uint8_t forkType = 0;
    uint32_t fileId = 0;
    uint32_t startBlock = 0;
    std::array<HfsExtent, 8> extents{};
};
Result<ExtentsRecord> decodeExtentsRecord(std::span<const uint8_t> record);

// Attributes key: keyLength 0, fileID 4, startBlock 8, name length 12, name 14; the
// record after the key: recordType 0 (0x10 inline data: size at 12, bytes at 16).
struct AttributeRecord {
    uint32_t fileId = 0;
    std::vector<uint16_t> name;
    uint32_t recordType = 0;
    std::span<const uint8_t> inlineData;  // inside the record given
};
inline constexpr uint32_t kAttributeInlineData = 0x10;
Result<AttributeRecord> decodeAttributeRecord(std::span<const uint8_t> record);

// Seconds since 1904-01-01 UTC as a FILETIME; 0 stays 0 (unset).
uint64_t hfsDateToFileTime(uint32_t hfsDate);

// UTF-16 units as UTF-8 with '/' shown as ':' (as macOS shows it); control characters
// (the private folders' NULs and CR) become '^', unpaired surrogates U+FFFD.
std::string hfsNameToUtf8(std::span<const uint16_t> units);

}  // namespace prendle::hfs_format
