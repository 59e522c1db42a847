#include "fs/exfat/exfat_structures.h"

#include <cstring>
#include <vector>

#include "common/byte_reader.h"
#include "common/utf16.h"

namespace prendle::exfat_format {

namespace {

std::string numberText(uint64_t value) {
    return std::to_string(value);
}

bool isSecondary(uint8_t type) {
    return (type & 0x40) != 0;
}

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t daysFrom1601(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = year / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t daysFrom1970 = era * 146097 + dayOfEra - 719468;
    return daysFrom1970 + 134774;  // 1601-01-01 to 1970-01-01
}

}  // namespace

uint64_t BootSector::activeFatOffsetBytes() const {
    uint64_t offset = uint64_t{fatOffsetSectors} << bytesPerSectorShift;
    if (fatCount == 2 && (volumeFlags & 0x0001) != 0)
        offset += uint64_t{fatLengthSectors} << bytesPerSectorShift;
    return offset;
}

Result<BootSector> decodeBootSector(std::span<const uint8_t> sector) {
    ByteReader reader(sector);
    reader.seek(3);
    auto text = reader.bytes(5);
    reader.seek(72);
    BootSector boot;
    boot.volumeSectors = reader.le64();
    boot.fatOffsetSectors = reader.le32();
    boot.fatLengthSectors = reader.le32();
    boot.heapOffsetSectors = reader.le32();
    boot.clusterCount = reader.le32();
    boot.rootCluster = reader.le32();
    reader.seek(106);
    boot.volumeFlags = reader.le16();
    boot.bytesPerSectorShift = reader.u8();
    boot.sectorsPerClusterShift = reader.u8();
    boot.fatCount = reader.u8();
    if (!reader.ok()) return ioError("cant read file: exFAT boot sector: " + reader.error());
    if (text.size() != 5 || std::memcmp(text.data(), "EXFAT", 5) != 0)
        return unsupportedError("Selected Drive is not in exFat Format");

    const std::string prefix = "Selected Drive is not in exFat Format: ";
    // exFAT allows 512 to 4096-byte sectors and clusters of at most 32 MiB.
    if (boot.bytesPerSectorShift < 9 || boot.bytesPerSectorShift > 12)
        return corruptError(prefix + "bytes-per-sector shift " +
                            numberText(boot.bytesPerSectorShift) + ", legal 9 to 12");
    if (boot.sectorsPerClusterShift > 25 - boot.bytesPerSectorShift)
        return corruptError(prefix + "sectors-per-cluster shift " +
                            numberText(boot.sectorsPerClusterShift) + " with sector shift " +
                            numberText(boot.bytesPerSectorShift) + " makes clusters over 32 MiB");
    if (boot.fatOffsetSectors == 0 || boot.heapOffsetSectors == 0)
        return corruptError(prefix + "FAT offset " + numberText(boot.fatOffsetSectors) +
                            ", cluster heap offset " + numberText(boot.heapOffsetSectors));
    if (boot.clusterCount == 0 || boot.clusterCount > kLastClusterValue - 1)
        return corruptError(prefix + "cluster count " + numberText(boot.clusterCount));
    if (boot.rootCluster < 2 || boot.rootCluster - 2 >= boot.clusterCount)
        return corruptError(prefix + "root directory cluster " + numberText(boot.rootCluster) +
                            " outside clusters 2 to " +
                            numberText(uint64_t{boot.clusterCount} + 1));
    return boot;
}

uint16_t entrySetChecksum(std::span<const uint8_t> set, bool asInUse) {
    uint16_t checksum = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        uint8_t byte = set[i];
        if (asInUse && i % kSlotBytes == 0) byte |= kInUse;
        checksum =
            static_cast<uint16_t>(((checksum & 1) != 0 ? 0x8000 : 0) + (checksum >> 1) + byte);
    }
    return checksum;
}

DecodedSet decodeEntrySet(std::span<const uint8_t> slots, size_t position) {
    DecodedSet out;
    auto reject = [&](std::string reason) {
        out.verdict = SetVerdict::Rejected;
        out.slotCount = 1;
        out.reason = std::move(reason);
        return out;
    };
    if (position > slots.size() || slots.size() - position < kSlotBytes) {
        out.verdict = SetVerdict::NeedMoreBytes;
        return out;
    }
    const auto rest = slots.subspan(position);
    const size_t slotsLeft = rest.size() / kSlotBytes;
    EntrySet& set = out.set;

    // File entry: 0 type, 1 secondary count, 2 checksum, 4 attributes, 8/12/16 create,
    // modify and access stamps, 20/21 10 ms fields, 22/23/24 UTC offsets.
    ByteReader file(rest.first(kSlotBytes));
    set.entryType = file.u8();
    set.secondaryCount = file.u8();
    const uint16_t storedChecksum = file.le16();
    set.attributes = file.le16();
    file.skip(2);
    set.createStamp = file.le32();
    set.modifyStamp = file.le32();
    set.accessStamp = file.le32();
    set.create10ms = file.u8();
    set.modify10ms = file.u8();
    set.createUtcOffset = file.u8();
    set.modifyUtcOffset = file.u8();
    set.accessUtcOffset = file.u8();
    if (set.entryType != kTypeFile && set.entryType != kTypeFileDeleted)
        return reject("not a File entry");
    const uint8_t inUse = set.entryType & kInUse;
    // A File entry needs at least its Stream Extension and one File Name entry.
    if (set.secondaryCount < 2)
        return reject("secondary count " + numberText(set.secondaryCount) + ", at least 2");
    if (slotsLeft < 2) {
        out.verdict = SetVerdict::NeedMoreBytes;
        return out;
    }

    // Stream Extension: 0 type, 1 flags, 3 name length, 8 valid data length, 20 first
    // cluster, 24 data length.
    ByteReader stream(rest.subspan(kSlotBytes, kSlotBytes));
    set.streamType = stream.u8();
    set.streamFlags = stream.u8();
    stream.skip(1);
    set.nameLength = stream.u8();
    stream.skip(4);
    set.validDataLength = stream.le64();
    stream.skip(4);
    set.firstCluster = stream.le32();
    set.dataLength = stream.le64();
    if (set.streamType != static_cast<uint8_t>((kTypeStream & 0x7F) | inUse))
        return reject("no Stream Extension after the File entry");
    if (set.nameLength == 0) return reject("name length 0");
    const size_t nameSlots = (size_t{set.nameLength} + 14) / 15;
    if (nameSlots > size_t{set.secondaryCount} - 1)
        return reject("name length " + numberText(set.nameLength) + " needs " +
                      numberText(nameSlots) + " File Name entries, secondary count " +
                      numberText(set.secondaryCount));
    const size_t setSlots = size_t{set.secondaryCount} + 1;
    // Reject on what is already visible before asking for more bytes.
    for (size_t i = 0; i < nameSlots && 2 + i < slotsLeft; ++i)
        if (rest[(2 + i) * kSlotBytes] != static_cast<uint8_t>((kTypeName & 0x7F) | inUse))
            return reject("File Name entry " + numberText(i + 1) + " missing");
    for (size_t i = 2 + nameSlots; i < setSlots && i < slotsLeft; ++i)
        if (!isSecondary(rest[i * kSlotBytes]) || (rest[i * kSlotBytes] & kInUse) != inUse)
            return reject("secondary entry " + numberText(i) + " is not part of the set");
    if (slotsLeft < setSlots) {
        out.verdict = SetVerdict::NeedMoreBytes;
        return out;
    }

    std::vector<uint8_t> units;
    units.reserve(size_t{set.nameLength} * 2);
    for (size_t i = 0; i < nameSlots; ++i) {
        const auto piece = rest.subspan((2 + i) * kSlotBytes + 2, 30);
        const size_t want = std::min<size_t>(30, size_t{set.nameLength} * 2 - units.size());
        units.insert(units.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(want));
    }
    set.name = utf16LeToUtf8(units);
    if (set.name.empty()) return reject("empty name");

    const bool deleted = inUse == 0;
    set.checksumHolds =
        entrySetChecksum(rest.first(setSlots * kSlotBytes), deleted) == storedChecksum;
    if (deleted && !set.checksumHolds) return reject("deleted set whose checksum fails");
    out.verdict = SetVerdict::Accepted;
    out.slotCount = setSlots;
    return out;
}

std::optional<uint64_t> timestampToFileTime(uint32_t stamp, uint8_t tenMilliseconds,
                                            uint8_t utcOffset) {
    const uint32_t time = stamp & 0xFFFF;
    const uint32_t date = stamp >> 16;
    const int64_t seconds = int64_t{time & 0x1F} * 2;
    const int64_t minutes = (time >> 5) & 0x3F;
    const int64_t hours = time >> 11;
    const int64_t day = date & 0x1F;
    const int64_t month = (date >> 5) & 0x0F;
    const int64_t year = 1980 + (date >> 9);
    if (seconds > 59 || minutes > 59 || hours > 23 || day < 1 || month < 1 || month > 12)
        return std::nullopt;
    constexpr int64_t kTicksPerSecond = 10'000'000;
    int64_t ticks =
        (daysFrom1601(year, month, day) * 86400 + hours * 3600 + minutes * 60 + seconds) *
        kTicksPerSecond;
    // 0..199 hundredths add up to 1.99 s to the two-second field.
    if (tenMilliseconds <= 199) ticks += int64_t{tenMilliseconds} * 100'000;
    if ((utcOffset & 0x80) != 0) {
        const int64_t quarterHours =
            (utcOffset & 0x40) != 0 ? int64_t{utcOffset & 0x7F} - 128 : int64_t{utcOffset & 0x7F};
        ticks -= quarterHours * 15 * 60 * kTicksPerSecond;
    }
    return static_cast<uint64_t>(ticks);
}

}  // namespace prendle::exfat_format
