// Microsoft VHDX images (fixed, dynamic, differencing): two checksummed headers, two region
// tables, a metadata region and a block allocation table with sector-bitmap entries between
// each chunk of payload entries. All fields are little-endian. Tests compare with qemu-img.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "disk/read_write_interface.h"

namespace prendle {

using VhdxGuid = std::array<uint8_t, 16>;

// One of the two 4 KiB headers at 64 KiB and 128 KiB.
struct VhdxHeader {
    bool hasSignature = false;    // "head" at 0
    bool checksumOk = false;      // CRC-32C at 4 over the 4 KiB with the field zeroed
    uint64_t sequenceNumber = 0;  // 8
    VhdxGuid logGuid{};           // 48
    uint16_t logVersion = 0;      // 64
    uint16_t version = 0;         // 66
    uint32_t logBytes = 0;        // 68
    uint64_t logOffset = 0;       // 72
};

struct VhdxRegion {
    VhdxGuid guid{};
    uint64_t fileOffset = 0;
    uint32_t length = 0;
    bool required = false;
};

// The metadata values the reader needs.
struct VhdxMetadata {
    uint32_t blockBytes = 0;
    bool leaveBlocksAllocated = false;
    bool hasParent = false;
    uint64_t virtualBytes = 0;
    uint32_t logicalSectorBytes = 0;
    uint32_t physicalSectorBytes = 0;
    std::map<std::string, std::string> parentLocator;
};

uint32_t crc32c(std::span<const uint8_t> bytes);
Result<VhdxHeader> decodeVhdxHeader(std::span<const uint8_t> bytes);
// The region table (64 KiB); fails on a bad signature, checksum or count.
Result<std::vector<VhdxRegion>> decodeVhdxRegionTable(std::span<const uint8_t> bytes);
// The metadata region, with item offsets relative to its start.
Result<VhdxMetadata> decodeVhdxMetadata(std::span<const uint8_t> region);

}  // namespace prendle

class FileReadSeekVhdx : public readWriteInterface {
public:
    bool open(const std::string& fileName) override;
    prendle::ContainerInfo info() const override;

    const prendle::VhdxMetadata& metadata() const { return metadata_; }
    bool logPending() const { return logPending_; }

protected:
    prendle::Result<prendle::StoredRun> mapRun(uint64_t diskPosition,
                                               uint64_t maxLength) const override;
    bool readDecoded(const prendle::StoredRun& run, uint64_t diskPosition,
                     std::span<uint8_t> out) const override;

private:
    using Bitmap = std::vector<uint8_t>;
    prendle::Result<std::shared_ptr<const Bitmap>> sectorBitmap(uint64_t chunk) const;

    prendle::VhdxHeader header_;
    prendle::VhdxMetadata metadata_;
    std::vector<uint64_t> bat_;
    uint64_t chunkRatio_ = 0;
    uint64_t payloadBlocks_ = 0;
    bool logPending_ = false;
    std::string parentName_;
    mutable std::mutex bitmapMutex_;
    mutable std::map<uint64_t, std::shared_ptr<const Bitmap>> bitmaps_;
};
