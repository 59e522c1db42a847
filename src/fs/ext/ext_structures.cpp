#include "fs/ext/ext_structures.h"

#include "common/byte_reader.h"
#include "common/checked.h"

namespace prendle::ext_format {

namespace {

uint16_t le16At(std::span<const uint8_t> bytes, size_t offset) {
    ByteReader reader(bytes);
    reader.seek(offset);
    return reader.le16();
}

bool isPowerOfTwo(uint64_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool isPowerOf(uint64_t value, uint64_t base) {
    while (value > 1 && value % base == 0) value /= base;
    return value == 1;
}

constexpr size_t align4(size_t value) {
    return (value + 3) & ~size_t{3};
}

}  // namespace

Result<Superblock> decodeSuperblock(std::span<const uint8_t> bytes) {
    if (bytes.size() < kSuperblockBytes)
        return corruptError("superblock: " + std::to_string(bytes.size()) + " bytes, need 1024");
    ByteReader reader(bytes);
    Superblock out;
    out.inodeCount = reader.le32();
    const uint32_t blockCountLow = reader.le32();
    reader.seek(20);
    out.firstDataBlock = reader.le32();
    out.logBlockSize = reader.le32();
    reader.seek(32);
    out.blocksPerGroup = reader.le32();
    reader.seek(40);
    out.inodesPerGroup = reader.le32();
    reader.seek(56);
    out.magic = reader.le16();
    reader.seek(76);
    out.revisionLevel = reader.le32();
    reader.seek(84);
    const uint32_t firstInode = reader.le32();
    const uint16_t inodeSize = reader.le16();
    reader.seek(92);
    out.featureCompat = reader.le32();
    out.featureIncompat = reader.le32();
    out.featureRoCompat = reader.le32();
    const uint16_t descriptorSize = le16At(bytes, 254);
    out.firstMetaGroup = le32At(bytes, 260);
    const uint32_t blockCountHigh = le32At(bytes, 336);
    out.backupGroups[0] = le32At(bytes, 588);
    out.backupGroups[1] = le32At(bytes, 592);

    if (out.magic != kSuperblockMagic)
        return corruptError("superblock: magic " + std::to_string(out.magic) + ", expected 61267");
    // 64 KiB is the largest block the kernel and e2fsprogs make.
    if (out.logBlockSize > 6)
        return corruptError("superblock: block size 1024 << " + std::to_string(out.logBlockSize) +
                            " is above 64 KiB");
    out.blockSize = 1024u << out.logBlockSize;
    if (out.revisionLevel >= 1) {
        out.firstInode = firstInode;
        out.inodeSize = inodeSize;
    }
    if (out.inodeSize < 128 || !isPowerOfTwo(out.inodeSize) || out.inodeSize > out.blockSize)
        return corruptError("superblock: inode size " + std::to_string(out.inodeSize) +
                            " is not a power of two from 128 to the block size");
    const bool is64Bit = (out.featureIncompat & kIncompat64Bit) != 0;
    out.blockCount = blockCountLow;
    if (is64Bit) {
        out.blockCount |= uint64_t{blockCountHigh} << 32;
        out.descriptorBytes = descriptorSize;
        if (out.descriptorBytes < 32 || !isPowerOfTwo(out.descriptorBytes) ||
            out.descriptorBytes > 1024)
            return corruptError("superblock: group descriptor size " +
                                std::to_string(descriptorSize) + " on a 64-bit volume");
    }
    // Each group's block and inode bitmaps are one block, so neither count exceeds its bits.
    const uint64_t bitsPerBlock = uint64_t{out.blockSize} * 8;
    const bool bigAlloc = (out.featureRoCompat & 0x0200) != 0;
    if (out.blocksPerGroup < 8 || (!bigAlloc && out.blocksPerGroup > bitsPerBlock))
        return corruptError("superblock: " + std::to_string(out.blocksPerGroup) +
                            " blocks per group, allowed 8 to " + std::to_string(bitsPerBlock));
    if (out.inodesPerGroup == 0 || out.inodesPerGroup > bitsPerBlock)
        return corruptError("superblock: " + std::to_string(out.inodesPerGroup) +
                            " inodes per group, allowed 1 to " + std::to_string(bitsPerBlock));
    if (out.blockCount <= out.firstDataBlock)
        return corruptError("superblock: " + std::to_string(out.blockCount) +
                            " blocks, first data block " + std::to_string(out.firstDataBlock));
    const uint64_t groups =
        divideRoundingUp(out.blockCount - out.firstDataBlock, out.blocksPerGroup);
    if (groups > 0xFFFFFFFFu)
        return corruptError("superblock: " + std::to_string(groups) + " block groups");
    out.groupCount = static_cast<uint32_t>(groups);
    // Inodes live only in the groups' tables; a larger count names inodes that do not exist.
    const uint64_t tableInodes = groups * out.inodesPerGroup;
    if (out.inodeCount > tableInodes) out.inodeCount = static_cast<uint32_t>(tableInodes);
    if (out.inodeCount < kRootInode)
        return corruptError("superblock: " + std::to_string(out.inodeCount) +
                            " inodes, too few for a root folder");
    if (out.firstInode <= kRootInode || out.firstInode > out.inodeCount) out.firstInode = 11;
    return out;
}

bool groupHasSuperblock(const Superblock& superblock, uint64_t group) {
    if (group == 0) return true;
    if ((superblock.featureCompat & kCompatSparseSuper2) != 0)
        return group == superblock.backupGroups[0] || group == superblock.backupGroups[1];
    if ((superblock.featureRoCompat & kRoCompatSparseSuper) == 0) return true;
    return group == 1 || isPowerOf(group, 3) || isPowerOf(group, 5) || isPowerOf(group, 7);
}

GroupDescriptor decodeGroupDescriptor(std::span<const uint8_t> bytes, uint32_t descriptorBytes) {
    GroupDescriptor out;
    ByteReader reader(bytes);
    reader.seek(4);
    out.inodeBitmapBlock = reader.le32();
    out.inodeTableBlock = reader.le32();
    reader.seek(18);
    out.flags = reader.le16();
    reader.seek(28);
    out.unusedInodes = reader.le16();
    if (descriptorBytes >= 64 && bytes.size() >= 64) {
        out.inodeBitmapBlock |= uint64_t{le32At(bytes, 36)} << 32;
        out.inodeTableBlock |= uint64_t{le32At(bytes, 40)} << 32;
        out.unusedInodes |= uint32_t{le16At(bytes, 50)} << 16;
    }
    return out;
}

uint64_t extTimeToFileTime(uint32_t seconds, bool hasExtra, uint32_t extra) {
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    int64_t unixSeconds = static_cast<int32_t>(seconds);
    uint32_t nanoseconds = 0;
    if (hasExtra) {
        unixSeconds += static_cast<int64_t>(extra & 3) << 32;
        nanoseconds = extra >> 2;
        if (nanoseconds >= 1000000000u) nanoseconds = 0;
    }
    const int64_t since1601 = unixSeconds + kSecondsFrom1601To1970;
    if (since1601 < 0) return 0;
    return static_cast<uint64_t>(since1601) * 10000000u + nanoseconds / 100;
}

Inode decodeInode(std::span<const uint8_t> bytes) {
    Inode out;
    ByteReader reader(bytes);
    out.mode = reader.le16();
    reader.skip(2);
    const uint32_t sizeLow = reader.le32();
    const uint32_t accessed = reader.le32();
    const uint32_t changed = reader.le32();
    const uint32_t modified = reader.le32();
    out.deletionTime = reader.le32();
    reader.skip(2);
    out.linkCount = reader.le16();
    reader.seek(32);
    out.flags = reader.le32();
    reader.seek(40);
    out.blockArea = reader.bytes(60);
    reader.seek(108);
    out.size = sizeLow | uint64_t{reader.le32()} << 32;

    // The extra fields exist when the inode is large and i_extra_isize covers them.
    size_t extraEnd = 128;
    if (bytes.size() > 130) {
        out.extraSize = le16At(bytes, 128);
        if (128u + out.extraSize <= bytes.size()) extraEnd = 128u + out.extraSize;
    }
    auto extraAt = [&](size_t offset, uint32_t& value) {
        if (offset + 4 > extraEnd) return false;
        value = le32At(bytes, offset);
        return true;
    };
    uint32_t extra = 0;
    bool has = extraAt(140, extra);
    out.accessed = extTimeToFileTime(accessed, has, has ? extra : 0);
    has = extraAt(132, extra);
    out.changed = extTimeToFileTime(changed, has, has ? extra : 0);
    has = extraAt(136, extra);
    out.modified = extTimeToFileTime(modified, has, has ? extra : 0);
    uint32_t created = 0;
    if (extraAt(144, created)) {
        has = extraAt(148, extra);
        out.created = extTimeToFileTime(created, has, has ? extra : 0);
    }
    return out;
}

std::span<const uint8_t> inlineDataAttribute(std::span<const uint8_t> inodeBytes) {
    if (inodeBytes.size() <= 132) return {};
    const size_t start = 128u + le16At(inodeBytes, 128);
    if (start + 4 > inodeBytes.size() || le32At(inodeBytes, start) != 0xEA020000u) return {};
    const size_t base = start + 4;  // value offsets count from the first entry
    size_t position = base;
    while (position + 16 <= inodeBytes.size()) {
        if (le32At(inodeBytes, position) == 0) break;
        ByteReader reader(inodeBytes);
        reader.seek(position);
        const uint8_t nameLength = reader.u8();
        const uint8_t nameIndex = reader.u8();
        const uint16_t valueOffset = reader.le16();
        const uint32_t valueInode = reader.le32();
        const uint32_t valueSize = reader.le32();
        reader.skip(4);
        auto name = reader.bytes(nameLength);
        if (!reader.ok()) break;
        constexpr uint8_t kSystemNamespace = 7;
        if (nameIndex == kSystemNamespace && valueInode == 0 && name.size() == 4 &&
            std::string_view(reinterpret_cast<const char*>(name.data()), 4) == "data") {
            const size_t valueStart = base + valueOffset;
            if (valueStart > inodeBytes.size() || valueSize > inodeBytes.size() - valueStart)
                return {};
            return inodeBytes.subspan(valueStart, valueSize);
        }
        position += align4(16u + nameLength);
    }
    return {};
}

Result<std::vector<ExtentEntry>> decodeExtentNode(std::span<const uint8_t> node,
                                                  ExtentHeader& header) {
    ByteReader reader(node);
    header.magic = reader.le16();
    header.entries = reader.le16();
    header.maximum = reader.le16();
    header.depth = reader.le16();
    if (!reader.ok())
        return corruptError("extent node of " + std::to_string(node.size()) + " bytes");
    if (header.magic != kExtentMagic)
        return corruptError("extent node magic " + std::to_string(header.magic) +
                            ", expected 62218");
    // The kernel never builds a tree deeper than 5 levels.
    if (header.depth > 5)
        return corruptError("extent tree depth " + std::to_string(header.depth) + ", at most 5");
    const size_t room = (node.size() - 12) / 12;
    if (header.entries > room)
        return corruptError("extent node holds " + std::to_string(header.entries) +
                            " entries, room for " + std::to_string(room));
    std::vector<ExtentEntry> entries(header.entries);
    for (size_t i = 0; i < header.entries; ++i) {
        reader.seek(12 + 12 * i);
        ExtentEntry& entry = entries[i];
        entry.logicalBlock = reader.le32();
        if (header.depth == 0) {
            const uint16_t length = reader.le16();
            const uint16_t startHigh = reader.le16();
            const uint32_t startLow = reader.le32();
            // Lengths above 32768 mark an unwritten extent of length - 32768 blocks.
            entry.unwritten = length > 32768;
            entry.blockCount = entry.unwritten ? length - 32768u : length;
            entry.physicalBlock = uint64_t{startHigh} << 32 | startLow;
        } else {
            const uint32_t leafLow = reader.le32();
            const uint16_t leafHigh = reader.le16();
            entry.physicalBlock = uint64_t{leafHigh} << 32 | leafLow;
        }
    }
    return entries;
}

void parseDirectoryBlock(std::span<const uint8_t> block, bool typed, uint32_t inodeCount,
                         bool wantDeleted,
                         const std::function<void(const DirectoryRecord&)>& onRecord,
                         std::string* problem) {
    auto report = [&](std::string text) {
        if (problem != nullptr && problem->empty()) *problem = std::move(text);
    };
    struct Header {
        uint32_t inode;
        size_t recordLength;
        size_t nameLength;
        uint8_t fileType;
    };
    auto headerAt = [&](size_t offset) {
        ByteReader reader(block);
        reader.seek(offset);
        Header header{};
        header.inode = reader.le32();
        header.recordLength = reader.le16();
        if (typed) {
            header.nameLength = reader.u8();
            header.fileType = reader.u8();
        } else {
            header.nameLength = reader.le16();
        }
        // A 64 KiB block stores a whole-block record length as 65535 or 0.
        if (block.size() == 65536 && (header.recordLength == 65535 || header.recordLength == 0))
            header.recordLength = 65536;
        return header;
    };
    auto nameAt = [&](size_t offset, size_t length) {
        return std::string_view(reinterpret_cast<const char*>(block.data() + offset + 8), length);
    };
    auto plausibleName = [](std::string_view name) {
        return !name.empty() && name.find('\0') == std::string_view::npos &&
               name.find('/') == std::string_view::npos;
    };

    // Removed records in [from, to): each starts 4-aligned, names inodes that exist and
    // ends inside the slack. Anything else is leftover bytes and skipped 4 at a time.
    auto scanSlack = [&](size_t from, size_t to) {
        size_t at = from;
        while (at + 12 <= to) {
            const Header candidate = headerAt(at);
            const size_t minimum = align4(8 + candidate.nameLength);
            const bool sound = candidate.inode != 0 && candidate.inode <= inodeCount &&
                               candidate.nameLength > 0 && candidate.nameLength <= 255 &&
                               candidate.recordLength % 4 == 0 &&
                               candidate.recordLength >= minimum && minimum <= to - at &&
                               candidate.recordLength <= to - at && candidate.fileType <= 7;
            if (sound) {
                const std::string_view name = nameAt(at, candidate.nameLength);
                if (plausibleName(name)) {
                    if (name != "." && name != "..")
                        onRecord({candidate.inode, candidate.fileType, true, name});
                    at += minimum;
                    continue;
                }
            }
            at += 4;
        }
    };

    size_t offset = 0;
    while (offset + 8 <= block.size()) {
        const Header header = headerAt(offset);
        if (header.recordLength < 8 || header.recordLength % 4 != 0 ||
            header.recordLength > block.size() - offset ||
            header.nameLength + 8 > header.recordLength || header.nameLength > 255) {
            report("directory record at offset " + std::to_string(offset) + " has length " +
                   std::to_string(header.recordLength) + " and name length " +
                   std::to_string(header.nameLength) + " in a " + std::to_string(block.size()) +
                   "-byte block");
            return;
        }
        if (header.nameLength > 0) {
            const std::string_view name = nameAt(offset, header.nameLength);
            if (header.inode != 0) {
                if (header.inode <= inodeCount)
                    onRecord({header.inode, header.fileType, false, name});
                else
                    report("directory record \"" + std::string(name) + "\" names inode " +
                           std::to_string(header.inode) + " of " + std::to_string(inodeCount));
            } else if (wantDeleted && plausibleName(name) && name != "." && name != "..") {
                // The first record of a block is removed by clearing its inode number.
                onRecord({0, header.fileType, true, name});
            }
            if (wantDeleted)
                scanSlack(offset + align4(8 + header.nameLength), offset + header.recordLength);
        }
        offset += header.recordLength;
    }
}

}  // namespace prendle::ext_format
