#include "fs/hfsplus/hfs_structures.h"

#include "common/byte_reader.h"
#include "common/utf16.h"

namespace prendle::hfs_format {

namespace {

bool isPowerOfTwo(uint64_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

HfsExtent readExtent(ByteReader& reader) {
    HfsExtent extent;
    extent.startBlock = reader.be32();
    extent.blockCount = reader.be32();
    return extent;
}

}  // namespace

ForkData decodeForkData(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    ForkData fork;
    fork.logicalSize = reader.be64();
    fork.clumpSize = reader.be32();
    fork.totalBlocks = reader.be32();
    for (HfsExtent& extent : fork.extents) extent = readExtent(reader);
    if (!reader.ok()) return ForkData{};
    return fork;
}

Result<VolumeHeader> decodeVolumeHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < kVolumeHeaderBytes)
        return corruptError("HFS+ volume header: " + std::to_string(bytes.size()) +
                            " bytes, need 512");
    ByteReader reader(bytes);
    VolumeHeader header;
    header.signature = reader.be16();
    header.version = reader.be16();
    header.attributes = reader.be32();
    reader.seek(16);
    header.createDate = reader.be32();
    header.modifyDate = reader.be32();
    reader.seek(32);
    header.fileCount = reader.be32();
    header.folderCount = reader.be32();
    header.blockSize = reader.be32();
    header.totalBlocks = reader.be32();
    header.freeBlocks = reader.be32();
    reader.seek(64);
    header.nextCatalogID = reader.be32();
    header.allocationFile = decodeForkData(bytes.subspan(112, 80));
    header.extentsFile = decodeForkData(bytes.subspan(192, 80));
    header.catalogFile = decodeForkData(bytes.subspan(272, 80));
    header.attributesFile = decodeForkData(bytes.subspan(352, 80));
    if (header.signature != kSignatureHfsPlus && header.signature != kSignatureHfsX)
        return corruptError("HFS+ volume header: signature " + std::to_string(header.signature) +
                            " is neither H+ (18475) nor HX (18520)");
    // Block sizes are powers of two of at least one sector; anything else is not a header.
    if (!isPowerOfTwo(header.blockSize) || header.blockSize < 512)
        return corruptError("HFS+ volume header: block size " + std::to_string(header.blockSize) +
                            " is not a power of two from 512");
    if (header.totalBlocks == 0) return corruptError("HFS+ volume header: 0 blocks");
    return header;
}

NodeDescriptor decodeNodeDescriptor(std::span<const uint8_t> node) {
    ByteReader reader(node);
    NodeDescriptor descriptor;
    descriptor.fLink = reader.be32();
    descriptor.bLink = reader.be32();
    descriptor.kind = static_cast<int8_t>(reader.u8());
    descriptor.height = reader.u8();
    descriptor.numRecords = reader.be16();
    if (!reader.ok()) return NodeDescriptor{};
    return descriptor;
}

Result<BTreeHeader> decodeBTreeHeader(std::span<const uint8_t> headerNode) {
    ByteReader reader(headerNode);
    reader.seek(kNodeDescriptorBytes);
    BTreeHeader header;
    header.treeDepth = reader.be16();
    header.rootNode = reader.be32();
    header.leafRecords = reader.be32();
    header.firstLeafNode = reader.be32();
    header.lastLeafNode = reader.be32();
    header.nodeSize = reader.be16();
    header.maxKeyLength = reader.be16();
    header.totalNodes = reader.be32();
    header.freeNodes = reader.be32();
    if (!reader.ok()) return corruptError("B-tree header node: " + reader.error());
    const NodeDescriptor descriptor = decodeNodeDescriptor(headerNode);
    if (descriptor.kind != kHeaderNode)
        return corruptError("B-tree header node: kind " + std::to_string(descriptor.kind) +
                            ", expected 1");
    if (!isPowerOfTwo(header.nodeSize) || header.nodeSize < kMinNodeBytes ||
        header.nodeSize > kMaxNodeBytes)
        return corruptError("B-tree header node: node size " + std::to_string(header.nodeSize) +
                            " is not a power of two in 512..32768");
    if (header.totalNodes == 0) return corruptError("B-tree header node: 0 nodes");
    return header;
}

std::vector<RecordSpan> recordSpans(std::span<const uint8_t> node, uint16_t numRecords,
                                    uint32_t* freeSpace) {
    std::vector<RecordSpan> spans;
    if (freeSpace != nullptr) *freeSpace = static_cast<uint32_t>(kNodeDescriptorBytes);
    const size_t nodeBytes = node.size();
    if (nodeBytes < kNodeDescriptorBytes + 2) return spans;
    // The table holds numRecords + 1 offsets (the last one is the free space); a count
    // whose table would reach into the descriptor is cut to what fits.
    const size_t maxRecords = (nodeBytes - kNodeDescriptorBytes) / 2 - 1;
    const size_t count = std::min<size_t>(numRecords, maxRecords);
    const size_t tableStart = nodeBytes - 2 * (count + 1);
    auto offsetAt = [&](size_t index) -> uint32_t {
        ByteReader reader(node);
        reader.seek(nodeBytes - 2 * (index + 1));
        return reader.be16();
    };
    std::vector<uint32_t> offsets(count + 1);
    for (size_t i = 0; i <= count; ++i) offsets[i] = offsetAt(i);
    if (freeSpace != nullptr && offsets[count] >= kNodeDescriptorBytes &&
        offsets[count] <= tableStart)
        *freeSpace = offsets[count];
    spans.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t start = offsets[i];
        if (start < kNodeDescriptorBytes || start >= tableStart) continue;
        // A record ends where the next one starts; when the table is out of order, at the
        // nearest later offset, and at the table at the latest.
        size_t end = tableStart;
        for (size_t j = 0; j <= count; ++j)
            if (offsets[j] > start && offsets[j] < end) end = offsets[j];
        spans.push_back({start, static_cast<uint32_t>(end - start)});
    }
    return spans;
}

Result<CatalogKey> decodeCatalogKey(std::span<const uint8_t> record) {
    ByteReader reader(record);
    CatalogKey key;
    key.keyLength = reader.be16();
    key.parentId = reader.be32();
    const uint16_t nameLength = reader.be16();
    if (!reader.ok()) return corruptError("catalog key: " + reader.error());
    if (key.keyLength < 6 || size_t{key.keyLength} + 2 > record.size())
        return corruptError("catalog key: length " + std::to_string(key.keyLength) + " in a " +
                            std::to_string(record.size()) + "-byte record");
    // HFS+ names are at most 255 units and must lie inside the key.
    if (nameLength > 255 || 6 + 2 * size_t{nameLength} > key.keyLength)
        return corruptError("catalog key: name of " + std::to_string(nameLength) +
                            " units in a key of " + std::to_string(key.keyLength) + " bytes");
    key.name.resize(nameLength);
    for (uint16_t& unit : key.name) unit = reader.be16();
    return key;
}

Result<CatalogRecord> decodeCatalogRecord(std::span<const uint8_t> data) {
    ByteReader reader(data);
    CatalogRecord record;
    record.recordType = reader.be16();
    if (!reader.ok()) return corruptError("catalog record: no record type");
    if (record.recordType == kFolderThreadRecord || record.recordType == kFileThreadRecord)
        return unsupportedError("catalog thread record");
    const size_t need = record.recordType == kFolderRecord ? kFolderRecordBytes
                        : record.recordType == kFileRecord ? kFileRecordBytes
                                                           : 0;
    if (need == 0) return corruptError("catalog record: type " + std::to_string(record.recordType));
    if (data.size() < need)
        return corruptError("catalog record of type " + std::to_string(record.recordType) + ": " +
                            std::to_string(data.size()) + " bytes, need " + std::to_string(need));
    record.flags = reader.be16();
    reader.seek(8);
    record.id = reader.be32();
    record.createDate = reader.be32();
    record.contentModDate = reader.be32();
    record.attributeModDate = reader.be32();
    record.accessDate = reader.be32();
    reader.seek(32);
    record.ownerId = reader.be32();
    record.groupId = reader.be32();
    record.adminFlags = reader.u8();
    record.ownerFlags = reader.u8();
    record.fileMode = reader.be16();
    record.special = reader.be32();
    if (record.recordType == kFileRecord) {
        record.fileType = reader.be32();
        record.creator = reader.be32();
        record.dataFork = decodeForkData(data.subspan(88, 80));
        record.resourceFork = decodeForkData(data.subspan(168, 80));
    }
    return record;
}

Result<ExtentsRecord> decodeExtentsRecord(std::span<const uint8_t> record) {
    ByteReader reader(record);
    const uint16_t keyLength = reader.be16();
    ExtentsRecord out;
    out.forkType = reader.u8();
    reader.skip(1);
    out.fileId = reader.be32();
    out.startBlock = reader.be32();
    for (HfsExtent& extent : out.extents) extent = readExtent(reader);
    if (!reader.ok()) return corruptError("extents-overflow record: " + reader.error());
    if (keyLength != 10)
        return corruptError("extents-overflow record: key length " + std::to_string(keyLength) +
                            ", expected 10");
    return out;
}

Result<AttributeRecord> decodeAttributeRecord(std::span<const uint8_t> record) {
    ByteReader reader(record);
    const uint16_t keyLength = reader.be16();
    reader.skip(2);
    AttributeRecord out;
    out.fileId = reader.be32();
    reader.skip(4);
    const uint16_t nameLength = reader.be16();
    if (!reader.ok()) return corruptError("attribute key: " + reader.error());
    if (nameLength > 127 || 12 + 2 * size_t{nameLength} > keyLength ||
        size_t{keyLength} + 2 + 4 > record.size())
        return corruptError("attribute key: length " + std::to_string(keyLength) + ", name of " +
                            std::to_string(nameLength) + " units");
    out.name.resize(nameLength);
    for (uint16_t& unit : out.name) unit = reader.be16();
    reader.seek(size_t{keyLength} + 2);
    const size_t dataStart = reader.position();
    out.recordType = reader.be32();
    if (out.recordType == kAttributeInlineData) {
        reader.seek(dataStart + 12);
        const uint32_t attrSize = reader.be32();
        if (!reader.ok() || attrSize > reader.remaining())
            return corruptError("inline attribute of " + std::to_string(attrSize) +
                                " bytes runs past its record");
        out.inlineData = reader.bytes(attrSize);
    }
    if (!reader.ok()) return corruptError("attribute record: " + reader.error());
    return out;
}

uint64_t hfsDateToFileTime(uint32_t hfsDate) {
    constexpr uint64_t kSecondsFrom1601To1904 = 9561628800;
    constexpr uint64_t kTicksPerSecond = 10000000;
    if (hfsDate == 0) return 0;
    return (kSecondsFrom1601To1904 + hfsDate) * kTicksPerSecond;
}

std::string hfsNameToUtf8(std::span<const uint16_t> units) {
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t unit = units[i];
        if (unit < 0x20 || unit == 0x7F) {
            out.push_back('^');
            continue;
        }
        // The catalog keeps a POSIX ':' as '/', the Finder's separator the other way round.
        if (unit == '/') {
            out.push_back(':');
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
        appendUtf8(out, unit);
    }
    return out;
}

}  // namespace prendle::hfs_format
