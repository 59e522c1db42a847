#include "disk/file_read_seek_vhd.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/text.h"
#include "common/utf16.h"

using namespace prendle;

namespace prendle {

namespace {
bool hasTag(std::span<const uint8_t> bytes, const char* tag) {
    size_t length = std::strlen(tag);
    return bytes.size() >= length && std::memcmp(bytes.data(), tag, length) == 0;
}

}  // namespace

Result<VhdFooter> decodeVhdFooter(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    VhdFooter footer;
    footer.hasCookie = hasTag(bytes, "conectix");
    reader.seek(8);
    footer.features = reader.be32();
    footer.formatVersion = reader.be32();
    footer.dataOffset = reader.be64();
    footer.timeStamp = reader.be32();
    reader.seek(40);
    footer.originalBytes = reader.be64();
    footer.currentBytes = reader.be64();
    footer.cylinders = reader.be16();
    footer.heads = reader.u8();
    footer.sectorsPerTrack = reader.u8();
    footer.diskType = reader.be32();
    if (!reader.ok()) return corruptError("VHD footer: " + reader.error());
    return footer;
}

Result<VhdDynamicHeader> decodeVhdDynamicHeader(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    VhdDynamicHeader header;
    header.hasCookie = hasTag(bytes, "cxsparse");
    reader.seek(16);
    header.tableOffset = reader.be64();
    reader.seek(28);
    header.maxTableEntries = reader.be32();
    header.blockBytes = reader.be32();
    if (!reader.ok()) return corruptError("VHD dynamic disk header: " + reader.error());
    // The parent fields matter to differencing images only; a short header has none.
    if (bytes.size() >= 576 + 8 * 24) {
        std::vector<uint8_t> swapped(512);
        for (size_t i = 0; i + 1 < swapped.size(); i += 2) {
            swapped[i] = bytes[64 + i + 1];
            swapped[i + 1] = bytes[64 + i];
        }
        header.parentName = utf16LeToUtf8(swapped);
        reader.seek(576);
        for (auto& locator : header.locators) {
            locator.platformCode = reader.be32();
            reader.skip(4);
            locator.dataBytes = reader.be32();
            reader.skip(4);
            locator.dataOffset = reader.be64();
        }
    }
    return header;
}

}  // namespace prendle

bool FileReadSeekVHD::open(const std::string& fileName) {
    entryTable_.clear();
    fixed_ = false;
    if (checkExtension_ && fileName.size() > 3 && !endsWithIgnoringCase(fileName, "vhd"))
        return failOpen(unsupportedError(fileName + ": the name does not end in .vhd"),
                        "not a vhd file");
    if (!openContainer(fileName)) return false;

    std::array<uint8_t, kSectorBytes> first{};
    auto got = container_.readAt(0, first);
    if (!got) return failOpen(got.error());
    if (got.value() < first.size())
        return failOpen(corruptError("VHD: the file holds " + std::to_string(got.value()) +
                                     " bytes, less than one 512-byte footer"));
    footer_ = decodeVhdFooter(first).value();

    // A fixed image has no copy of the footer at the start, only the one at the end.
    if (!footer_.hasCookie) {
        std::array<uint8_t, kSectorBytes> last{};
        auto tail = container_.readAt(containerLength - kSectorBytes, last);
        if (tail && tail.value() == last.size()) {
            VhdFooter endFooter = decodeVhdFooter(last).value();
            if (endFooter.hasCookie) footer_ = endFooter;
        }
    }
    setTotalSectors(footer_.currentBytes / kSectorBytes);

    differencing_ = footer_.hasCookie && footer_.diskType == kVhdDifferencingType;
    bitmaps_.clear();
    parentName_.clear();
    if (footer_.hasCookie && footer_.diskType == 2) {
        fixed_ = true;
        blockBytes_ = 0;
        setMappedBytes(std::min(footer_.currentBytes, containerLength - kSectorBytes));
        return true;
    }
    if (!openDynamic()) return false;
    if (differencing_ && !openParentOfDifferencing()) return false;
    setTotalSectors(footer_.currentBytes / kSectorBytes);
    return true;
}

bool FileReadSeekVHD::openParentOfDifferencing() {
    // Locators hold the path as Windows wrote it; the relative one is tried first.
    constexpr uint32_t kMaxLocatorBytes = 64 * 1024;
    for (uint32_t platform : {kVhdLocatorRelative, kVhdLocatorAbsolute}) {
        for (const auto& locator : dynamicHeader_.locators) {
            if (locator.platformCode != platform || locator.dataBytes == 0) continue;
            if (locator.dataBytes > kMaxLocatorBytes || locator.dataOffset > containerLength ||
                locator.dataBytes > containerLength - locator.dataOffset)
                continue;
            std::vector<uint8_t> raw(locator.dataBytes);
            auto got = container_.readAt(locator.dataOffset, raw);
            if (!got || got.value() < raw.size()) continue;
            parentName_ = utf16LeToUtf8(raw);
            if (!parentName_.empty()) break;
        }
        if (!parentName_.empty()) break;
    }
    if (parentName_.empty()) parentName_ = dynamicHeader_.parentName;
    if (parentName_.empty())
        return failOpen(corruptError("differencing VHD without a parent name or locator"),
                        "This differencing VHD does not say where its parent is");
    return attachParent(parentName_);
}

Result<std::shared_ptr<const std::vector<uint8_t>>> FileReadSeekVHD::blockBitmap(
    uint64_t block) const {
    {
        std::lock_guard lock(bitmapMutex_);
        auto found = bitmaps_.find(block);
        if (found != bitmaps_.end()) return found->second;
    }
    auto bitmap = std::make_shared<std::vector<uint8_t>>(bitmapBytes_);
    const uint64_t offset = uint64_t{entryTable_[block]} * kSectorBytes;
    auto got = container_.readAt(offset, *bitmap);
    if (!got) return got.error();
    if (got.value() < bitmap->size())
        return corruptError("VHD sector bitmap of block " + std::to_string(block) + " at offset " +
                            std::to_string(offset) + " lies past the end of the file");
    std::lock_guard lock(bitmapMutex_);
    // Bitmaps are a sector or a few each; a bound keeps the map small on huge disks.
    if (bitmaps_.size() >= 4096) bitmaps_.clear();
    return bitmaps_.emplace(block, std::move(bitmap)).first->second;
}

bool FileReadSeekVHD::readDecoded(const StoredRun&, uint64_t diskPosition,
                                  std::span<uint8_t> out) const {
    return readParent(diskPosition, out);
}

bool FileReadSeekVHD::openDynamic() {
    try {
        return openDynamicTable();
    } catch (const std::bad_alloc&) {
        return failOpen(corruptError("the VHD block allocation table does not fit in memory"));
    }
}

bool FileReadSeekVHD::openDynamicTable() {
    // The dynamic header normally follows the footer copy; its offset is in the footer.
    uint64_t headerOffset = kSectorBytes;
    if (footer_.hasCookie && footer_.dataOffset != UINT64_MAX &&
        footer_.dataOffset <= containerLength && containerLength - footer_.dataOffset >= 1024)
        headerOffset = footer_.dataOffset;
    std::array<uint8_t, 1024> headerBytes{};
    auto got = container_.readAt(headerOffset, headerBytes);
    if (!got) return failOpen(got.error());
    if (got.value() < headerBytes.size())
        return failOpen(corruptError("VHD dynamic disk header at offset " +
                                     std::to_string(headerOffset) + " runs past the end of the " +
                                     std::to_string(containerLength) + "-byte file"));
    dynamicHeader_ = decodeVhdDynamicHeader(headerBytes).value();

    // Images without a valid header block size keep the common 2 MiB block.
    uint32_t headerBlock = dynamicHeader_.blockBytes;
    blockBytes_ = headerBlock >= kSectorBytes && (headerBlock & (headerBlock - 1)) == 0
                      ? headerBlock
                      : kVhdDefaultBlockBytes;
    // One bit per sector, rounded up to whole sectors.
    bitmapBytes_ = divideRoundingUp(divideRoundingUp(blockBytes_ / kSectorBytes, 8), kSectorBytes) *
                   kSectorBytes;

    uint64_t tableOffset = headerOffset + 1024;
    if (dynamicHeader_.hasCookie && dynamicHeader_.tableOffset < containerLength)
        tableOffset = dynamicHeader_.tableOffset;
    // Writers may size the table for a larger disk; entries past the footer's disk size
    // are never read, so none are kept.
    uint64_t tableEntries = dynamicHeader_.maxTableEntries;
    if (footer_.currentBytes != 0)
        tableEntries = std::min(tableEntries, divideRoundingUp(footer_.currentBytes, blockBytes_));
    uint64_t tableBytes = tableEntries * 4;
    if (tableOffset > containerLength || tableBytes > containerLength - tableOffset)
        return failOpen(corruptError(
            "VHD block allocation table at offset " + std::to_string(tableOffset) + " with " +
            std::to_string(dynamicHeader_.maxTableEntries) + " entries runs past the end of the " +
            std::to_string(containerLength) + "-byte file"));
    std::vector<uint8_t> raw(tableBytes);
    auto tableGot = container_.readAt(tableOffset, raw);
    if (!tableGot) return failOpen(tableGot.error());
    if (tableGot.value() < raw.size())
        return failOpen(
            corruptError("VHD block allocation table: the file ended while it was read"));
    entryTable_.resize(tableEntries);
    ByteReader reader(raw);
    for (auto& entry : entryTable_) entry = reader.be32();

    auto mapped = checkedMul(entryTable_.size(), blockBytes_);
    setMappedBytes(mapped.value_or(0));
    return true;
}

Result<StoredRun> FileReadSeekVHD::mapRun(uint64_t diskPosition, uint64_t maxLength) const {
    if (fixed_) return StoredRun{true, diskPosition, maxLength};
    uint64_t block = diskPosition / blockBytes_;
    uint64_t within = diskPosition % blockBytes_;
    if (block >= entryTable_.size())
        return corruptError("disk byte " + std::to_string(diskPosition) + " lies beyond the " +
                            std::to_string(entryTable_.size()) + "-entry VHD block table");
    uint64_t length = std::min(maxLength, blockBytes_ - within);
    uint32_t entry = entryTable_[block];
    if (differencing_ && parent_) {
        if (entry == kVhdUnstoredEntry) return StoredRun{false, 0, length, true};
        // One bit per sector, most significant first: set means this file holds the sector.
        auto bitmap = blockBitmap(block);
        if (!bitmap) return bitmap.error();
        const auto& bits = *bitmap.value();
        uint64_t sector = within / kSectorBytes;
        auto bitAt = [&](uint64_t s) { return (bits[s / 8] >> (7 - s % 8)) & 1; };
        const int present = bitAt(sector);
        uint64_t run = std::min(length, kSectorBytes - within % kSectorBytes);
        while (run < length && bitAt(++sector) == present) run += kSectorBytes;
        run = std::min(run, length);
        if (!present) return StoredRun{false, 0, run, true};
        return StoredRun{true, uint64_t{entry} * kSectorBytes + bitmapBytes_ + within, run};
    }
    if (entry == kVhdUnstoredEntry) return StoredRun{false, 0, length};
    // A 32-bit sector number times 512 plus a block stays far below 2^64.
    return StoredRun{true, uint64_t{entry} * kSectorBytes + bitmapBytes_ + within, length};
}

ContainerInfo FileReadSeekVHD::info() const {
    ContainerInfo out;
    out.kind = fixed_ ? "VHD (fixed)" : (differencing_ ? "VHD (differencing)" : "VHD (dynamic)");
    out.virtualBytes = footer_.currentBytes;
    out.blockBytes = blockBytes_;
    out.blockCount = entryTable_.size();
    out.allocatedBlocks = static_cast<uint64_t>(std::count_if(
        entryTable_.begin(), entryTable_.end(), [](uint32_t e) { return e != kVhdUnstoredEntry; }));
    if (fixed_) {
        out.blockCount = 0;
        out.allocatedBlocks = 0;
    }
    out.details = {{"format version", std::to_string(footer_.formatVersion >> 16) + "." +
                                          std::to_string(footer_.formatVersion & 0xFFFF)},
                   {"cylinders", std::to_string(footer_.cylinders)},
                   {"heads", std::to_string(footer_.heads)},
                   {"sectors per track", std::to_string(footer_.sectorsPerTrack)}};
    if (differencing_) out.details.emplace_back("parent", parentName_);
    return out;
}
