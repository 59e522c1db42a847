// NTFS on-disk structures: boot sector, MFT record header and fixups, attribute headers,
// run lists, FILE_NAME and STANDARD_INFORMATION. Tests use volumes made by mkntfs and
// ntfs-3g, compared with The Sleuth Kit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"

namespace prendle::ntfs_format {

struct BootSector {
    bool hasNtfsName = false;        // 3..6 "NTFS"
    uint16_t bytesPerSector = 0;     // 11
    uint32_t sectorsPerCluster = 0;  // 13 (values above 0x80 are powers of two: 2^(256-v))
    uint64_t totalSectors = 0;       // 40
    uint64_t mftCluster = 0;         // 48
    uint64_t mftMirrorCluster = 0;   // 56
    int8_t recordSizeCode = 0;       // 64: clusters, or 2^-v bytes when negative
};

BootSector decodeBootSector(std::span<const uint8_t> sector);
// Cluster bytes of a sound boot sector, 0 when its fields make no sense.
uint64_t clusterBytes(const BootSector& boot);
// MFT record bytes from the boot sector; 1024 when the field is unusable.
uint32_t recordBytes(const BootSector& boot, uint64_t clusterBytes);

struct RecordHeader {
    uint32_t signature = 0;             // 0 "FILE"
    uint16_t updateSequenceOffset = 0;  // 4
    uint16_t updateSequenceCount = 0;   // 6
    uint16_t sequenceNumber = 0;        // 16
    uint16_t firstAttributeOffset = 0;  // 20
    uint16_t flags = 0;                 // 22: bit 0 in use, bit 1 directory
    uint64_t baseReference = 0;         // 32: non-zero in an extension record
    uint32_t recordNumber = 0;          // 44: the record's own number (NTFS 3.1 headers)
    bool hasRecordNumber = false;       // the update sequence starts at 48 or later
};

inline constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"

RecordHeader decodeRecordHeader(std::span<const uint8_t> record);
// Puts the update-sequence values back at the end of each 512-byte stride. Torn sectors
// are not rejected: a recovery tool uses what is there.
void applyFixups(std::span<uint8_t> record, const RecordHeader& header);

struct Attribute {
    uint32_t type = 0;         // 0
    uint32_t length = 0;       // 4
    bool nonResident = false;  // 8
    uint8_t nameLength = 0;    // 9
    uint16_t nameOffset = 0;   // 10
    uint16_t flags = 0;        // 12: 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
    // resident
    uint32_t contentLength = 0;  // 16
    uint16_t contentOffset = 0;  // 20
    // non-resident
    uint64_t startVcn = 0;         // 16
    uint64_t lastVcn = 0;          // 24
    uint16_t runListOffset = 0;    // 32
    uint16_t compressionUnit = 0;  // 34
    uint64_t allocatedSize = 0;    // 40
    uint64_t realSize = 0;         // 48
    uint64_t initializedSize = 0;  // 56
    size_t offset = 0;             // where the attribute starts in its record
};

inline constexpr uint32_t kStandardInformation = 0x10;
inline constexpr uint32_t kAttributeList = 0x20;
inline constexpr uint32_t kFileName = 0x30;
inline constexpr uint32_t kData = 0x80;
inline constexpr uint32_t kEndMarker = 0xFFFFFFFF;

// Every attribute whose header and body lie inside the record; the walk stops at the
// end marker, a length too small to hold a header, or a length running off the record.
std::vector<Attribute> enumerateAttributes(std::span<const uint8_t> record,
                                           const RecordHeader& header);
// The resident content, or an empty span when it does not fit in the record.
std::span<const uint8_t> residentContent(std::span<const uint8_t> record, const Attribute& a);
std::span<const uint8_t> runListBytes(std::span<const uint8_t> record, const Attribute& a);

// A run of clusters; a sparse run has no place on the volume.
struct DataRun {
    bool sparse = false;
    uint64_t lcn = 0;
    uint64_t length = 0;
    bool operator==(const DataRun&) const = default;
};

// Decodes a run list; runs are cut where the cluster total would pass clusterLimit and
// a run outside the volume (volumeClusters) is refused.
// One entry of an $ATTRIBUTE_LIST: which record holds (part of) an attribute.
struct AttributeListEntry {
    uint32_t type = 0;             // 0
    uint8_t nameLength = 0;        // 6
    uint64_t startVcn = 0;         // 8
    uint64_t recordReference = 0;  // 16: record number in the low 48 bits
};
// Entries until the end marker, a zero type or a length that cannot hold an entry.
std::vector<AttributeListEntry> decodeAttributeList(std::span<const uint8_t> bytes);

// The runs decoded before any damage, and what the damage was: a file keeps what can
// still be read when one run of its list is broken.
struct PartialRunList {
    std::vector<DataRun> runs;
    std::optional<Error> damage;
};
PartialRunList decodeRunListPartially(std::span<const uint8_t> bytes, uint64_t clusterLimit,
                                      uint64_t volumeClusters);
Result<std::vector<DataRun>> decodeRunList(std::span<const uint8_t> bytes, uint64_t clusterLimit,
                                           uint64_t volumeClusters);

struct FileName {
    uint64_t parentReference = 0;  // 0: low 48 bits record number, high 16 sequence
    uint64_t allocatedSize = 0;    // 40
    uint64_t realSize = 0;         // 48
    uint32_t flags = 0;            // 56: 0x10000000 directory
    uint8_t nameSpace = 0;         // 65: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
    std::string name;              // 66, UTF-16 of the length at 64
    bool nameTooLong = false;      // length byte 0xFF
};
Result<FileName> decodeFileName(std::span<const uint8_t> content);

struct StandardTimes {
    uint64_t created = 0;   // 0
    uint64_t modified = 0;  // 8
    uint64_t accessed = 0;  // 24
};
StandardTimes decodeStandardTimes(std::span<const uint8_t> content);

// LZNT1 chunks into at most output.size() bytes; returns the bytes produced. Fails on
// a chunk that runs past the input, keeping what was produced.
struct Lznt1Result {
    size_t produced = 0;
    bool complete = true;
};
Lznt1Result lznt1Decompress(std::span<const uint8_t> input, std::span<uint8_t> output);

}  // namespace prendle::ntfs_format
