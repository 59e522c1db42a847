#include "fs/ntfs/ntfs_structures.h"

#include <algorithm>
#include <cstring>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/utf16.h"

namespace prendle::ntfs_format {

BootSector decodeBootSector(std::span<const uint8_t> sector) {
    BootSector boot;
    if (sector.size() < 512) return boot;
    ByteReader reader(sector);
    boot.hasNtfsName = std::memcmp(sector.data() + 3, "NTFS", 4) == 0;
    reader.seek(11);
    boot.bytesPerSector = reader.le16();
    const uint8_t clusterCode = reader.u8();
    // Windows writes cluster sizes above 64 KiB as a negative power of two.
    boot.sectorsPerCluster =
        clusterCode <= 0x80 ? clusterCode : (1u << std::min(31, 256 - clusterCode));
    reader.seek(40);
    boot.totalSectors = reader.le64();
    boot.mftCluster = reader.le64();
    boot.mftMirrorCluster = reader.le64();
    boot.recordSizeCode = static_cast<int8_t>(reader.u8());
    return boot;
}

uint64_t clusterBytes(const BootSector& boot) {
    if (boot.bytesPerSector < 256 || boot.bytesPerSector > 4096 ||
        (boot.bytesPerSector & (boot.bytesPerSector - 1)) != 0 || boot.sectorsPerCluster == 0 ||
        (boot.sectorsPerCluster & (boot.sectorsPerCluster - 1)) != 0)
        return 0;
    uint64_t bytes = uint64_t{boot.bytesPerSector} * boot.sectorsPerCluster;
    // Clusters of more than 2 MiB are no NTFS any Windows writes.
    return bytes <= (2u << 20) ? bytes : 0;
}

uint32_t recordBytes(const BootSector& boot, uint64_t cluster) {
    int code = boot.recordSizeCode;
    uint64_t bytes = 0;
    if (code < 0 && code >= -31) {
        bytes = uint64_t{1} << -code;
    } else if (code > 0) {
        bytes = cluster * static_cast<uint64_t>(code);
    }
    // Records are 1 KiB or 4 KiB in practice; anything outside 512 B .. 64 KiB is damage.
    if (bytes < 512 || bytes > 65536 || (bytes & (bytes - 1)) != 0) return 1024;
    return static_cast<uint32_t>(bytes);
}

RecordHeader decodeRecordHeader(std::span<const uint8_t> record) {
    ByteReader reader(record);
    RecordHeader header;
    header.signature = reader.le32();
    header.updateSequenceOffset = reader.le16();
    header.updateSequenceCount = reader.le16();
    reader.seek(16);
    header.sequenceNumber = reader.le16();
    reader.skip(2);
    header.firstAttributeOffset = reader.le16();
    header.flags = reader.le16();
    reader.seek(32);
    header.baseReference = reader.le64();
    if (header.updateSequenceOffset >= 48) {
        reader.seek(44);
        header.recordNumber = reader.le32();
        header.hasRecordNumber = reader.ok();
    }
    return header;
}

void applyFixups(std::span<uint8_t> record, const RecordHeader& header) {
    const size_t offset = header.updateSequenceOffset;
    for (size_t k = 1; k < header.updateSequenceCount; ++k) {
        const size_t target = 512 * k - 2;
        const size_t source = offset + 2 * k;
        if (target + 2 > record.size() || source + 2 > record.size()) break;
        record[target] = record[source];
        record[target + 1] = record[source + 1];
    }
}

std::vector<Attribute> enumerateAttributes(std::span<const uint8_t> record,
                                           const RecordHeader& header) {
    std::vector<Attribute> out;
    size_t position = header.firstAttributeOffset;
    while (position + 16 <= record.size()) {
        ByteReader reader(record.subspan(position));
        Attribute a;
        a.offset = position;
        a.type = reader.le32();
        if (a.type == kEndMarker) break;
        a.length = reader.le32();
        if (a.length < 16 || a.length > record.size() - position) break;
        a.nonResident = reader.u8() != 0;
        a.nameLength = reader.u8();
        a.nameOffset = reader.le16();
        a.flags = reader.le16();
        if (a.nonResident) {
            reader.seek(16);
            a.startVcn = reader.le64();
            a.lastVcn = reader.le64();
            a.runListOffset = reader.le16();
            a.compressionUnit = reader.le16();
            reader.seek(40);
            a.allocatedSize = reader.le64();
            a.realSize = reader.le64();
            a.initializedSize = reader.le64();
        } else {
            reader.seek(16);
            a.contentLength = reader.le32();
            a.contentOffset = reader.le16();
        }
        // A header cut short by its own length is no attribute.
        if (reader.ok() && (!a.nonResident || a.length >= 64)) out.push_back(a);
        position += a.length;
    }
    return out;
}

std::span<const uint8_t> residentContent(std::span<const uint8_t> record, const Attribute& a) {
    if (a.nonResident) return {};
    uint64_t start = a.offset + uint64_t{a.contentOffset};
    uint64_t end = start + a.contentLength;
    if (a.contentOffset > a.length || end > a.offset + uint64_t{a.length}) return {};
    return record.subspan(start, a.contentLength);
}

std::span<const uint8_t> runListBytes(std::span<const uint8_t> record, const Attribute& a) {
    if (!a.nonResident || a.runListOffset >= a.length) return {};
    return record.subspan(a.offset + a.runListOffset, a.length - a.runListOffset);
}

std::vector<AttributeListEntry> decodeAttributeList(std::span<const uint8_t> bytes) {
    // Entries: type at 0, length at 4, name length at 6, start VCN at 8, reference at 16.
    std::vector<AttributeListEntry> out;
    constexpr size_t kEntryMinimum = 26;
    for (size_t at = 0; at + kEntryMinimum <= bytes.size();) {
        ByteReader reader(bytes.subspan(at));
        AttributeListEntry entry;
        entry.type = reader.le32();
        const uint16_t length = reader.le16();
        entry.nameLength = reader.u8();
        reader.seek(8);
        entry.startVcn = reader.le64();
        entry.recordReference = reader.le64();
        if (entry.type == 0 || entry.type == kEndMarker || length < kEntryMinimum) break;
        out.push_back(entry);
        at += length;
    }
    return out;
}

PartialRunList decodeRunListPartially(std::span<const uint8_t> bytes, uint64_t clusterLimit,
                                      uint64_t volumeClusters) {
    PartialRunList out;
    std::vector<DataRun>& runs = out.runs;
    int64_t lcn = 0;
    uint64_t total = 0;
    size_t position = 0;
    while (position < bytes.size()) {
        const uint8_t header = bytes[position++];
        const size_t lengthBytes = header & 0x0F;
        const size_t offsetBytes = header >> 4;
        if (lengthBytes == 0) break;
        // A field wider than 8 bytes cannot encode a 64-bit value.
        if (lengthBytes > 8 || offsetBytes > 8 ||
            lengthBytes + offsetBytes > bytes.size() - position) {
            out.damage = corruptError("run list: header byte " + std::to_string(header) +
                                      " at byte " + std::to_string(position - 1) +
                                      " runs past its " + std::to_string(bytes.size()) + " bytes");
            return out;
        }
        uint64_t length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) length |= uint64_t{bytes[position + i]} << (8 * i);
        position += lengthBytes;
        if (length == 0) {
            out.damage = corruptError("run list: a run of zero clusters");
            return out;
        }
        DataRun run;
        run.length = length;
        if (offsetBytes == 0) {
            run.sparse = true;
        } else {
            uint64_t delta = 0;
            for (size_t i = 0; i < offsetBytes; ++i)
                delta |= uint64_t{bytes[position + i]} << (8 * i);
            if (offsetBytes < 8 && (bytes[position + offsetBytes - 1] & 0x80) != 0)
                delta |= ~uint64_t{0} << (8 * offsetBytes);
            position += offsetBytes;
            int64_t next = 0;
            if (__builtin_add_overflow(lcn, static_cast<int64_t>(delta), &next) || next < 0) {
                out.damage = corruptError("run list: cluster number below zero");
                return out;
            }
            lcn = next;
            run.lcn = static_cast<uint64_t>(lcn);
            if (run.lcn >= volumeClusters || run.length > volumeClusters - run.lcn) {
                out.damage = corruptError("run list: clusters " + std::to_string(run.lcn) + "+" +
                                          std::to_string(run.length) + " lie outside the " +
                                          std::to_string(volumeClusters) + "-cluster volume");
                return out;
            }
        }
        if (run.length > clusterLimit - total) break;
        total += run.length;
        runs.push_back(run);
    }
    return out;
}

Result<std::vector<DataRun>> decodeRunList(std::span<const uint8_t> bytes, uint64_t clusterLimit,
                                           uint64_t volumeClusters) {
    PartialRunList decoded = decodeRunListPartially(bytes, clusterLimit, volumeClusters);
    if (decoded.damage) return *decoded.damage;
    return std::move(decoded.runs);
}

Result<FileName> decodeFileName(std::span<const uint8_t> content) {
    ByteReader reader(content);
    FileName out;
    out.parentReference = reader.le64();
    reader.seek(40);
    out.allocatedSize = reader.le64();
    out.realSize = reader.le64();
    out.flags = reader.le32();
    reader.seek(64);
    const uint8_t length = reader.u8();
    out.nameSpace = reader.u8();
    if (!reader.ok()) return corruptError("FILE_NAME: " + reader.error());
    if (length == 0xFF) {
        out.nameTooLong = true;
        return out;
    }
    auto name = reader.bytes(size_t{length} * 2);
    if (!reader.ok())
        return corruptError("FILE_NAME: name of " + std::to_string(length) +
                            " characters runs past the attribute");
    out.name = utf16LeToUtf8(name);
    return out;
}

StandardTimes decodeStandardTimes(std::span<const uint8_t> content) {
    ByteReader reader(content);
    StandardTimes times;
    times.created = reader.le64();
    times.modified = reader.le64();
    reader.skip(8);
    times.accessed = reader.le64();
    if (!reader.ok()) return {};
    return times;
}

Lznt1Result lznt1Decompress(std::span<const uint8_t> input, std::span<uint8_t> output) {
    Lznt1Result result;
    size_t in = 0;
    size_t out = 0;
    while (in + 2 <= input.size() && out < output.size()) {
        const uint16_t header = static_cast<uint16_t>(input[in] | (input[in + 1] << 8));
        const size_t size = header & 0x0FFF;
        if (header == 0) break;
        if (in + size + 3 > input.size()) {
            result.complete = false;
            break;
        }
        const size_t chunkEnd = in + size + 3;
        in += 2;
        if ((header & 0x8000) == 0 && size + 1 == 4096) {
            size_t copy = std::min<size_t>(4096, output.size() - out);
            std::memcpy(output.data() + out, input.data() + in, copy);
            out += copy;
            in = chunkEnd;
            continue;
        }
        const size_t chunkStart = out;
        while (in < chunkEnd && out < output.size()) {
            const uint8_t flags = input[in++];
            for (int bit = 0; bit < 8 && in < chunkEnd && out < output.size(); ++bit) {
                if ((flags & (1 << bit)) == 0) {
                    output[out++] = input[in++];
                    continue;
                }
                if (in + 2 > chunkEnd) {
                    result.complete = false;
                    in = chunkEnd;
                    break;
                }
                const uint16_t token = static_cast<uint16_t>(input[in] | (input[in + 1] << 8));
                in += 2;
                const size_t produced = out - chunkStart;
                int lengthBits = 12;
                for (size_t p = produced - 1; p >= 16 && lengthBits > 4; p >>= 1) --lengthBits;
                const size_t displacement = (token >> lengthBits) + 1;
                size_t length = (token & ((1u << lengthBits) - 1)) + 3;
                if (produced == 0 || displacement > produced) {
                    result.complete = false;
                    in = chunkEnd;
                    break;
                }
                for (; length > 0 && out < output.size(); --length, ++out)
                    output[out] = output[out - displacement];
            }
        }
        in = chunkEnd;
    }
    result.produced = out;
    return result;
}

}  // namespace prendle::ntfs_format
