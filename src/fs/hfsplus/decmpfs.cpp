#include "fs/hfsplus/decmpfs.h"

#include <zlib.h>

#include <string>

#include "common/byte_reader.h"
#include "common/checked.h"

namespace prendle::hfs_format {

Result<DecmpfsHeader> decodeDecmpfsHeader(std::span<const uint8_t> attribute) {
    ByteReader reader(attribute);
    const uint32_t magic = reader.le32();
    DecmpfsHeader header;
    header.compressionType = reader.le32();
    header.uncompressedSize = reader.le64();
    if (!reader.ok())
        return corruptError("decmpfs header: " + std::to_string(attribute.size()) +
                            " bytes, need 16");
    if (magic != kDecmpfsMagic) return corruptError("decmpfs header: no fpmc magic");
    header.inlineData = attribute.subspan(16);
    return header;
}

bool decmpfsUsesResourceFork(uint32_t compressionType) {
    return compressionType == kDecmpfsZlibResource || compressionType == kDecmpfsLzvnResource ||
           compressionType == kDecmpfsStoredResource || compressionType == kDecmpfsLzfseResource ||
           compressionType == 14;
}

const char* decmpfsKindName(uint32_t compressionType) {
    switch (compressionType) {
        case kDecmpfsStoredInline:
            return "stored";
        case kDecmpfsZlibInline:
        case kDecmpfsZlibResource:
            return "zlib";
        case kDecmpfsLzvnInline:
        case kDecmpfsLzvnResource:
            return "LZVN";
        case 9:
        case kDecmpfsStoredResource:
            return "stored";
        case kDecmpfsLzfseInline:
        case kDecmpfsLzfseResource:
            return "LZFSE";
        case 13:
        case 14:
            return "LZBITMAP";
        default:
            return "unknown";
    }
}

Result<std::vector<uint8_t>> inflateDecmpfsUnit(std::span<const uint8_t> unit, size_t maxOut) {
    if (unit.empty()) return std::vector<uint8_t>{};
    // macOS stores a unit that would not shrink as a marker byte and the plain bytes.
    if ((unit[0] & 0x0F) == 0x0F) {
        const auto plain = unit.subspan(1, std::min(unit.size() - 1, maxOut));
        return std::vector<uint8_t>(plain.begin(), plain.end());
    }
    std::vector<uint8_t> out(maxOut);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return ioError("zlib: cannot start inflate");
    stream.next_in = const_cast<Bytef*>(unit.data());
    stream.avail_in = static_cast<uInt>(std::min<size_t>(unit.size(), UINT32_MAX));
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(std::min<size_t>(out.size(), UINT32_MAX));
    const int result = inflate(&stream, Z_FINISH);
    const size_t produced = stream.total_out;
    inflateEnd(&stream);
    // Z_BUF_ERROR with a full output is a stream longer than the file says: keep what fits.
    if (result != Z_STREAM_END && !(result == Z_BUF_ERROR && produced == maxOut))
        return corruptError("zlib data of " + std::to_string(unit.size()) +
                            " bytes does not inflate (zlib code " + std::to_string(result) + ")");
    out.resize(produced);
    return out;
}

Result<std::vector<DecmpfsBlock>> decodeDecmpfsBlockTable(std::span<const uint8_t> head,
                                                          uint64_t forkBytes,
                                                          uint64_t uncompressedSize,
                                                          uint64_t& needs) {
    needs = 0;
    ByteReader reader(head);
    const uint32_t dataOffset = reader.be32();
    if (!reader.ok() || uint64_t{dataOffset} + 8 > forkBytes)
        return corruptError("compressed resource fork: data offset " + std::to_string(dataOffset) +
                            " in a fork of " + std::to_string(forkBytes) + " bytes");
    reader.seek(dataOffset);
    reader.skip(4);
    const uint32_t blockCount = reader.le32();
    const uint64_t tableStart = uint64_t{dataOffset} + 4;
    // Every block yields at most 64 KiB, so the count is bounded by the file's size.
    const uint64_t maxBlocks = divideRoundingUp(uncompressedSize, kDecmpfsBlockBytes) + 1;
    if (!reader.ok()) {
        needs = tableStart + 4;
        return corruptError("compressed resource fork: table beyond the bytes read");
    }
    if (blockCount > maxBlocks)
        return corruptError("compressed resource fork: " + std::to_string(blockCount) +
                            " blocks for " + std::to_string(uncompressedSize) + " bytes");
    const uint64_t tableEnd = tableStart + 4 + 8 * uint64_t{blockCount};
    if (tableEnd > forkBytes)
        return corruptError("compressed resource fork: table of " + std::to_string(blockCount) +
                            " blocks runs past the fork");
    if (tableEnd > head.size()) {
        needs = tableEnd;
        return corruptError("compressed resource fork: table beyond the bytes read");
    }
    std::vector<DecmpfsBlock> blocks(blockCount);
    for (DecmpfsBlock& block : blocks) {
        const uint32_t offset = reader.le32();
        block.length = reader.le32();
        block.forkOffset = tableStart + offset;
        if (block.forkOffset + block.length > forkBytes)
            return corruptError("compressed resource fork: block at " +
                                std::to_string(block.forkOffset) + " of " +
                                std::to_string(block.length) + " bytes runs past the fork");
    }
    return blocks;
}

}  // namespace prendle::hfs_format
