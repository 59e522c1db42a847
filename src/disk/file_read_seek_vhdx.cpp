#include "disk/file_read_seek_vhdx.h"

#include <algorithm>
#include <cstring>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/utf16.h"

using namespace prendle;

namespace prendle {

namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kHeaderOffsets[] = {64 * kKiB, 128 * kKiB};
constexpr uint64_t kRegionTableOffsets[] = {192 * kKiB, 256 * kKiB};
constexpr size_t kHeaderBytes = 4 * kKiB;
constexpr size_t kRegionTableBytes = 64 * kKiB;
// Both counts are limited to 2047 by the format.
constexpr uint32_t kMaxRegionEntries = 2047;
constexpr uint32_t kMaxMetadataEntries = 2047;
// The format's own limits: 64 TiB disks, blocks of 1 MiB to 256 MiB.
constexpr uint64_t kMaxVirtualBytes = 64 * kMiB * kMiB;
constexpr uint64_t kMinBlockBytes = kMiB;
constexpr uint64_t kMaxBlockBytes = 256 * kMiB;
// Metadata regions are 1 MiB in practice; a bound keeps a hostile length from a huge read.
constexpr uint64_t kMaxMetadataBytes = 64 * kMiB;
constexpr uint64_t kSectorBitmapBytes = kMiB;
constexpr size_t kMaxCachedBitmaps = 64;
// A decoded run's marker for "read the parent".
constexpr uint64_t kParentMarker = 0;

enum BatState : uint64_t {
    kNotPresent = 0,
    kUndefined = 1,
    kZero = 2,
    kUnmapped = 3,
    kFullyPresent = 6,
    kPartiallyPresent = 7,
};

// GUIDs are stored with their first three fields little-endian.
VhdxGuid guidOf(const char* text) {
    auto hex = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
        return static_cast<uint8_t>((c | 0x20) - 'a' + 10);
    };
    uint8_t plain[16];
    size_t n = 0;
    for (const char* p = text; *p && n < 16; ++p) {
        if (*p == '-') continue;
        plain[n++] = static_cast<uint8_t>(hex(p[0]) << 4 | hex(p[1]));
        ++p;
    }
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    VhdxGuid out{};
    for (size_t i = 0; i < 16; ++i) out[i] = plain[order[i]];
    return out;
}

const VhdxGuid kBatGuid = guidOf("2DC27766-F623-4200-9D64-115E9BFD4A08");
const VhdxGuid kMetadataGuid = guidOf("8B7CA206-4790-4B9A-B8FE-575F050F886E");
const VhdxGuid kFileParametersGuid = guidOf("CAA16737-FA36-4D43-B3B6-33F0AA44E76B");
const VhdxGuid kVirtualSizeGuid = guidOf("2FA54224-CD1B-4876-B211-5DBED83BF4B8");
const VhdxGuid kLogicalSectorGuid = guidOf("8141BF1D-A96F-4709-BA47-F233A8FAAB5F");
const VhdxGuid kPhysicalSectorGuid = guidOf("CDA348C7-445D-4471-9CC9-E9885251C556");
const VhdxGuid kParentLocatorGuid = guidOf("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C");

VhdxGuid guidAt(ByteReader& reader) {
    VhdxGuid out{};
    auto bytes = reader.bytes(16);
    if (bytes.size() == 16) std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

bool checksumMatches(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    const uint32_t stored = le32At(copy, 4);
    std::memset(copy.data() + 4, 0, 4);
    return crc32c(copy) == stored;
}

std::array<uint32_t, 256> makeCrc32cTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) ? 0x82F63B78 : 0);
        table[i] = value;
    }
    return table;
}

}  // namespace

uint32_t crc32c(std::span<const uint8_t> bytes) {
    static const std::array<uint32_t, 256> table = makeCrc32cTable();
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : bytes) crc = (crc >> 8) ^ table[(crc ^ byte) & 0xFF];
    return crc ^ 0xFFFFFFFF;
}

Result<VhdxHeader> decodeVhdxHeader(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    VhdxHeader header;
    header.hasSignature = bytes.size() >= 4 && std::memcmp(bytes.data(), "head", 4) == 0;
    reader.seek(8);
    header.sequenceNumber = reader.le64();
    reader.seek(48);
    header.logGuid = guidAt(reader);
    header.logVersion = reader.le16();
    header.version = reader.le16();
    header.logBytes = reader.le32();
    header.logOffset = reader.le64();
    if (!reader.ok()) return corruptError("VHDX header: " + reader.error());
    header.checksumOk = bytes.size() >= kHeaderBytes && checksumMatches(bytes.first(kHeaderBytes));
    return header;
}

Result<std::vector<VhdxRegion>> decodeVhdxRegionTable(std::span<const uint8_t> bytes) {
    if (bytes.size() < kRegionTableBytes || std::memcmp(bytes.data(), "regi", 4) != 0)
        return corruptError("VHDX region table: no \"regi\" signature");
    if (!checksumMatches(bytes.first(kRegionTableBytes)))
        return corruptError("VHDX region table: checksum mismatch");
    ByteReader reader(bytes.first(kRegionTableBytes));
    reader.seek(8);
    const uint32_t count = reader.le32();
    if (count > kMaxRegionEntries)
        return corruptError("VHDX region table: " + std::to_string(count) + " entries, limit " +
                            std::to_string(kMaxRegionEntries));
    reader.seek(16);
    std::vector<VhdxRegion> regions(count);
    for (auto& region : regions) {
        region.guid = guidAt(reader);
        region.fileOffset = reader.le64();
        region.length = reader.le32();
        region.required = (reader.le32() & 1) != 0;
    }
    if (!reader.ok()) return corruptError("VHDX region table: " + reader.error());
    return regions;
}

Result<VhdxMetadata> decodeVhdxMetadata(std::span<const uint8_t> region) {
    if (region.size() < 32 || std::memcmp(region.data(), "metadata", 8) != 0)
        return corruptError("VHDX metadata region: no \"metadata\" signature");
    ByteReader reader(region);
    reader.seek(10);
    const uint16_t count = reader.le16();
    if (count > kMaxMetadataEntries)
        return corruptError("VHDX metadata: " + std::to_string(count) + " entries, limit " +
                            std::to_string(kMaxMetadataEntries));
    VhdxMetadata out;
    bool haveParameters = false, haveSize = false;
    reader.seek(32);
    for (uint16_t i = 0; i < count; ++i) {
        const VhdxGuid id = guidAt(reader);
        const uint32_t offset = reader.le32();
        const uint32_t length = reader.le32();
        reader.skip(8);
        if (!reader.ok()) return corruptError("VHDX metadata table: " + reader.error());
        if (offset > region.size() || length > region.size() - offset)
            return corruptError("VHDX metadata item " + std::to_string(i) + " at offset " +
                                std::to_string(offset) + " of " + std::to_string(length) +
                                " bytes lies outside the " + std::to_string(region.size()) +
                                "-byte region");
        ByteReader item(region.subspan(offset, length));
        if (id == kFileParametersGuid) {
            out.blockBytes = item.le32();
            const uint32_t flags = item.le32();
            out.leaveBlocksAllocated = (flags & 1) != 0;
            out.hasParent = (flags & 2) != 0;
            haveParameters = item.ok();
        } else if (id == kVirtualSizeGuid) {
            out.virtualBytes = item.le64();
            haveSize = item.ok();
        } else if (id == kLogicalSectorGuid) {
            out.logicalSectorBytes = item.le32();
        } else if (id == kPhysicalSectorGuid) {
            out.physicalSectorBytes = item.le32();
        } else if (id == kParentLocatorGuid) {
            auto locator = region.subspan(offset, length);
            item.seek(18);
            const uint16_t pairs = item.le16();
            for (uint16_t pair = 0; pair < pairs && item.ok(); ++pair) {
                const uint32_t keyOffset = item.le32();
                const uint32_t valueOffset = item.le32();
                const uint16_t keyLength = item.le16();
                const uint16_t valueLength = item.le16();
                if (!item.ok()) break;
                if (keyOffset > length || keyLength > length - keyOffset || valueOffset > length ||
                    valueLength > length - valueOffset)
                    return corruptError("VHDX parent locator entry " + std::to_string(pair) +
                                        " lies outside its " + std::to_string(length) +
                                        "-byte item");
                out.parentLocator[utf16LeToUtf8(locator.subspan(keyOffset, keyLength))] =
                    utf16LeToUtf8(locator.subspan(valueOffset, valueLength));
            }
        }
    }
    if (!haveParameters || !haveSize)
        return corruptError(
            "VHDX metadata: the file parameters or the virtual disk size is missing");
    if (out.logicalSectorBytes == 0) out.logicalSectorBytes = 512;
    return out;
}

}  // namespace prendle

bool FileReadSeekVhdx::open(const std::string& fileName) {
    bat_.clear();
    bitmaps_.clear();
    metadata_ = {};
    logPending_ = false;
    parentName_.clear();
    if (!openContainer(fileName)) return false;

    // The current header: a valid one with the higher sequence number.
    bool haveHeader = false;
    for (uint64_t offset : kHeaderOffsets) {
        std::vector<uint8_t> bytes(kHeaderBytes);
        auto got = container_.readAt(offset, bytes);
        if (!got) return failOpen(got.error());
        if (got.value() < bytes.size()) continue;
        auto decoded = decodeVhdxHeader(bytes);
        if (!decoded || !decoded.value().hasSignature || !decoded.value().checksumOk) continue;
        if (!haveHeader || decoded.value().sequenceNumber > header_.sequenceNumber)
            header_ = decoded.value();
        haveHeader = true;
    }
    if (!haveHeader)
        return failOpen(corruptError("VHDX: neither header (at 64 KiB and 128 KiB) is valid"),
                        "The VHDX headers are damaged");
    // Reading does not replay the log: the data is read as the file holds it.
    logPending_ = header_.logGuid != VhdxGuid{};

    Result<std::vector<VhdxRegion>> regions = corruptError("VHDX: no region table");
    for (uint64_t offset : kRegionTableOffsets) {
        std::vector<uint8_t> bytes(kRegionTableBytes);
        auto got = container_.readAt(offset, bytes);
        if (!got) return failOpen(got.error());
        regions = decodeVhdxRegionTable(std::span<const uint8_t>(bytes).first(got.value()));
        if (regions) break;
    }
    if (!regions) return failOpen(regions.error());
    const VhdxRegion* batRegion = nullptr;
    const VhdxRegion* metadataRegion = nullptr;
    for (const auto& region : regions.value()) {
        if (region.guid == kBatGuid) {
            batRegion = &region;
        } else if (region.guid == kMetadataGuid) {
            metadataRegion = &region;
        } else if (region.required) {
            return failOpen(unsupportedError("VHDX: a required region of an unknown kind"),
                            "This VHDX image needs a feature this program does not know");
        }
    }
    if (!batRegion || !metadataRegion)
        return failOpen(corruptError("VHDX region table: no BAT or no metadata region"));
    auto inFile = [&](const VhdxRegion& region) {
        return region.fileOffset <= containerLength &&
               region.length <= containerLength - region.fileOffset;
    };
    if (!inFile(*metadataRegion) || metadataRegion->length > kMaxMetadataBytes)
        return failOpen(corruptError(
            "VHDX metadata region at offset " + std::to_string(metadataRegion->fileOffset) +
            " of " + std::to_string(metadataRegion->length) + " bytes lies outside the " +
            std::to_string(containerLength) + "-byte file"));
    std::vector<uint8_t> metadataBytes(metadataRegion->length);
    auto metadataGot = container_.readAt(metadataRegion->fileOffset, metadataBytes);
    if (!metadataGot) return failOpen(metadataGot.error());
    auto metadata = decodeVhdxMetadata(metadataBytes);
    if (!metadata) return failOpen(metadata.error());
    metadata_ = metadata.value();

    const uint64_t blockBytes = metadata_.blockBytes;
    if (blockBytes < kMinBlockBytes || blockBytes > kMaxBlockBytes ||
        (blockBytes & (blockBytes - 1)) != 0)
        return failOpen(corruptError("VHDX block size " + std::to_string(blockBytes) +
                                     ", expected a power of two from 1 MiB to 256 MiB"));
    if (metadata_.logicalSectorBytes != 512 && metadata_.logicalSectorBytes != 4096)
        return failOpen(corruptError("VHDX logical sector size " +
                                     std::to_string(metadata_.logicalSectorBytes) +
                                     ", expected 512 or 4096"));
    if (metadata_.virtualBytes > kMaxVirtualBytes)
        return failOpen(corruptError("VHDX virtual size " + std::to_string(metadata_.virtualBytes) +
                                     " bytes, the format's limit is 64 TiB"));
    chunkRatio_ = (uint64_t{1} << 23) * metadata_.logicalSectorBytes / blockBytes;
    payloadBlocks_ = divideRoundingUp(metadata_.virtualBytes, blockBytes);
    const uint64_t entries =
        metadata_.hasParent
            ? divideRoundingUp(payloadBlocks_, chunkRatio_) * (chunkRatio_ + 1)
            : payloadBlocks_ + (payloadBlocks_ == 0 ? 0 : (payloadBlocks_ - 1) / chunkRatio_);
    if (!inFile(*batRegion))
        return failOpen(
            corruptError("VHDX BAT region at offset " + std::to_string(batRegion->fileOffset) +
                         " of " + std::to_string(batRegion->length) + " bytes lies outside the " +
                         std::to_string(containerLength) + "-byte file"));
    // A short BAT leaves the blocks it lacks unallocated.
    const uint64_t batBytes = std::min<uint64_t>(entries * 8, batRegion->length);
    std::vector<uint8_t> raw(batBytes);
    auto batGot = container_.readAt(batRegion->fileOffset, raw);
    if (!batGot) return failOpen(batGot.error());
    bat_.assign(entries, 0);
    ByteReader reader(std::span<const uint8_t>(raw).first(batGot.value()));
    for (uint64_t i = 0; i < batGot.value() / 8; ++i) bat_[i] = reader.le64();

    setMappedBytes(metadata_.virtualBytes);
    if (metadata_.hasParent) {
        for (const char* key : {"relative_path", "absolute_win32_path", "volume_path"}) {
            auto found = metadata_.parentLocator.find(key);
            if (found != metadata_.parentLocator.end() && !found->second.empty()) {
                parentName_ = found->second;
                break;
            }
        }
        if (parentName_.empty())
            return failOpen(corruptError("differencing VHDX without a parent path"),
                            "This differencing VHDX does not say where its parent is");
        if (!attachParent(parentName_)) return false;
    }
    setTotalSectors(metadata_.virtualBytes / kSectorBytes);
    return true;
}

Result<std::shared_ptr<const FileReadSeekVhdx::Bitmap>> FileReadSeekVhdx::sectorBitmap(
    uint64_t chunk) const {
    {
        std::lock_guard lock(bitmapMutex_);
        auto found = bitmaps_.find(chunk);
        if (found != bitmaps_.end()) return found->second;
    }
    auto bitmap = std::make_shared<Bitmap>(kSectorBitmapBytes, 0);
    const uint64_t index = chunk * (chunkRatio_ + 1) + chunkRatio_;
    const uint64_t entry = index < bat_.size() ? bat_[index] : 0;
    if ((entry & 7) == kFullyPresent) {
        // 44 bits of megabytes: the byte offset fits in 64 bits.
        const uint64_t offset = (entry >> 20) * kMiB;
        auto got = container_.readAt(offset, *bitmap);
        if (!got) return got.error();
        if (got.value() < bitmap->size())
            return corruptError("VHDX sector bitmap of chunk " + std::to_string(chunk) +
                                " at offset " + std::to_string(offset) +
                                " lies past the end of the " + std::to_string(containerLength) +
                                "-byte file");
    }
    std::lock_guard lock(bitmapMutex_);
    if (bitmaps_.size() >= kMaxCachedBitmaps) bitmaps_.clear();
    return bitmaps_.emplace(chunk, std::move(bitmap)).first->second;
}

Result<StoredRun> FileReadSeekVhdx::mapRun(uint64_t diskPosition, uint64_t maxLength) const {
    const uint64_t blockBytes = metadata_.blockBytes;
    const uint64_t block = diskPosition / blockBytes;
    const uint64_t within = diskPosition % blockBytes;
    uint64_t length = std::min(maxLength, blockBytes - within);
    const uint64_t index = block + block / chunkRatio_;
    const uint64_t entry = index < bat_.size() ? bat_[index] : kNotPresent;
    const uint64_t state = entry & 7;
    auto blockData = [&](uint64_t runLength) -> Result<StoredRun> {
        auto offset = checkedAdd((entry >> 20) * kMiB, within);
        if (!offset)
            return corruptError("VHDX block " + std::to_string(block) + " has an offset past 2^64");
        return StoredRun{true, *offset, runLength};
    };
    if (state == kFullyPresent) return blockData(length);
    if (state == kPartiallyPresent) {
        if (!parent_) return blockData(length);
        auto bitmap = sectorBitmap(block / chunkRatio_);
        if (!bitmap) return bitmap.error();
        const Bitmap& bits = *bitmap.value();
        const uint64_t sectorBytes = metadata_.logicalSectorBytes;
        uint64_t sector = ((block % chunkRatio_) * blockBytes + within) / sectorBytes;
        auto bitAt = [&](uint64_t s) { return (bits[s / 8] >> (s % 8)) & 1; };
        const int present = bitAt(sector);
        uint64_t run = std::min(length, sectorBytes - within % sectorBytes);
        // Bits cover the whole chunk, so a block's sectors never index past the bitmap.
        while (run < length && bitAt(++sector) == present) run += sectorBytes;
        run = std::min(run, length);
        if (present) return blockData(run);
        return StoredRun{false, kParentMarker, run, true};
    }
    if (state == kNotPresent && parent_) return StoredRun{false, kParentMarker, length, true};
    return StoredRun{false, 0, length};
}

bool FileReadSeekVhdx::readDecoded(const StoredRun&, uint64_t diskPosition,
                                   std::span<uint8_t> out) const {
    return readParent(diskPosition, out);
}

ContainerInfo FileReadSeekVhdx::info() const {
    ContainerInfo out;
    uint64_t present = 0;
    for (uint64_t block = 0; block < payloadBlocks_; ++block) {
        const uint64_t index = block + block / chunkRatio_;
        const uint64_t state = index < bat_.size() ? bat_[index] & 7 : 0;
        if (state == kFullyPresent || state == kPartiallyPresent) ++present;
    }
    const bool fixed = metadata_.leaveBlocksAllocated && present == payloadBlocks_;
    out.kind =
        metadata_.hasParent ? "VHDX (differencing)" : (fixed ? "VHDX (fixed)" : "VHDX (dynamic)");
    out.virtualBytes = metadata_.virtualBytes;
    out.blockBytes = metadata_.blockBytes;
    out.blockCount = payloadBlocks_;
    out.allocatedBlocks = present;
    out.details = {{"logical sector size", std::to_string(metadata_.logicalSectorBytes)},
                   {"physical sector size", std::to_string(metadata_.physicalSectorBytes)},
                   {"log", logPending_ ? "not empty, not replayed: writes still in the log "
                                         "are not shown"
                                       : "empty"},
                   {"parent", parentName_}};
    return out;
}
