#include "fs/fat/fat_structures.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/utf16.h"

namespace prendle::fat_format {

namespace {

bool isPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// Cluster numbers at or above these are reserved, bad or end marks at each width.
uint32_t firstReservedValue(FatWidth width) {
    switch (width) {
        case FatWidth::Fat12:
            return 0xFF7;
        case FatWidth::Fat16:
            return 0xFFF7;
        case FatWidth::Fat32:
            return 0x0FFFFFF7;
    }
    return 0;
}

// Code page 437, the OEM page short names are written in by default, bytes 0x80..0xFF.
constexpr uint16_t kCodePage437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void appendShortNameByte(std::string& out, uint8_t byte, bool lower) {
    if (byte >= 0x80) {
        appendUtf8(out, kCodePage437High[byte - 0x80]);
    } else if (byte < 0x20) {
        out += '_';  // control bytes are never part of a valid short name
    } else {
        char c = static_cast<char>(byte);
        if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out += c;
    }
}

int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

unsigned daysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))) return 29;
    return kDays[month - 1];
}

}  // namespace

Result<BootSector> decodeBootSector(std::span<const uint8_t> sector) {
    ByteReader reader(sector);
    BootSector boot;
    reader.seek(3);
    auto oem = reader.bytes(8);
    boot.oemText.assign(oem.begin(), oem.end());
    reader.seek(11);
    boot.bytesPerSector = reader.le16();
    boot.sectorsPerCluster = reader.u8();
    boot.reservedSectors = reader.le16();
    boot.fatCount = reader.u8();
    boot.rootEntryCount = reader.le16();
    const uint32_t totalSectors16 = reader.le16();
    reader.skip(1);  // media descriptor
    const uint32_t sectorsPerFat16 = reader.le16();
    reader.seek(32);
    const uint32_t totalSectors32 = reader.le32();
    const uint32_t sectorsPerFat32 = reader.le32();
    reader.seek(44);
    boot.rootCluster = reader.le32();
    if (!reader.ok()) return corruptError("FAT boot sector: " + reader.error());

    const auto fail = [](const std::string& what) {
        return corruptError("FAT boot sector: " + what);
    };
    if (boot.bytesPerSector < 512 || boot.bytesPerSector > 4096 ||
        !isPowerOfTwo(boot.bytesPerSector))
        return fail("bytes per sector " + std::to_string(boot.bytesPerSector) +
                    ", not a power of two in 512..4096");
    if (!isPowerOfTwo(boot.sectorsPerCluster))
        return fail("sectors per cluster " + std::to_string(boot.sectorsPerCluster) +
                    ", not a power of two in 1..128");
    if (boot.reservedSectors == 0) return fail("no reserved sectors");
    if (boot.fatCount == 0) return fail("no FAT copies");
    boot.totalSectors = totalSectors16 != 0 ? totalSectors16 : totalSectors32;
    if (boot.totalSectors == 0) return fail("total sectors 0");

    const bool fat32 = sectorsPerFat16 == 0;
    boot.sectorsPerFat = fat32 ? sectorsPerFat32 : sectorsPerFat16;
    if (boot.sectorsPerFat == 0) return fail("sectors per FAT 0");
    if (fat32) {
        if (boot.rootCluster < 2) return fail("root cluster " + std::to_string(boot.rootCluster));
        boot.rootEntryCount = 0;
    } else if (boot.rootEntryCount == 0) {
        return fail("root entry count 0");
    }

    // Every factor is at most 32 bits, so these products fit in 64.
    const uint64_t sectorBytes = boot.bytesPerSector;
    boot.clusterBytes = uint64_t{boot.sectorsPerCluster} * sectorBytes;
    boot.fatOffset = uint64_t{boot.reservedSectors} * sectorBytes;
    boot.fatBytes = uint64_t{boot.sectorsPerFat} * sectorBytes;
    const uint64_t fatSectors = uint64_t{boot.fatCount} * boot.sectorsPerFat;
    const uint64_t rootBytes = uint64_t{boot.rootEntryCount} * kSlotBytes;
    const uint64_t rootSectors = divideRoundingUp(rootBytes, sectorBytes);
    const uint64_t rootStartSector = boot.reservedSectors + fatSectors;
    const uint64_t dataStartSector = rootStartSector + rootSectors;
    if (dataStartSector >= boot.totalSectors)
        return fail("data area starts at sector " + std::to_string(dataStartSector) +
                    ", past the volume's " + std::to_string(boot.totalSectors) + " sectors");
    boot.rootDirectoryOffset = rootStartSector * sectorBytes;
    boot.rootDirectoryBytes = rootBytes;
    boot.dataOffset = dataStartSector * sectorBytes;
    uint64_t clusters = (boot.totalSectors - dataStartSector) / boot.sectorsPerCluster;
    if (clusters == 0) return fail("no data clusters");

    if (fat32)
        boot.width = FatWidth::Fat32;
    else
        boot.width = clusters < 4085 ? FatWidth::Fat12 : FatWidth::Fat16;
    // Cluster numbers stop below the width's reserved values, and at the FAT's own end.
    const uint64_t widthLimit = firstReservedValue(boot.width) - 2;
    const uint64_t fatEntries = boot.width == FatWidth::Fat12   ? boot.fatBytes * 2 / 3
                                : boot.width == FatWidth::Fat16 ? boot.fatBytes / 2
                                                                : boot.fatBytes / 4;
    if (fatEntries <= 2) return fail("a FAT of " + std::to_string(boot.fatBytes) + " bytes");
    clusters = std::min({clusters, widthLimit, fatEntries - 2});
    boot.clusterCount = static_cast<uint32_t>(clusters);
    if (fat32 && boot.rootCluster > boot.lastCluster())
        return fail("root cluster " + std::to_string(boot.rootCluster) + " past the last " +
                    std::to_string(boot.lastCluster()));
    return boot;
}

FatTable::FatTable(FatWidth width, std::vector<uint8_t> bytes, uint32_t lastCluster)
    : width_(width), bytes_(std::move(bytes)), lastCluster_(lastCluster) {}

uint32_t FatTable::entry(uint32_t cluster) const {
    if (cluster > lastCluster_) return 0;
    switch (width_) {
        case FatWidth::Fat12: {
            const size_t at = size_t{cluster} + cluster / 2;
            if (at + 1 >= bytes_.size()) return 0;
            const uint32_t pair = bytes_[at] | (uint32_t{bytes_[at + 1]} << 8);
            return (cluster & 1) != 0 ? pair >> 4 : pair & 0xFFF;
        }
        case FatWidth::Fat16: {
            const size_t at = size_t{cluster} * 2;
            if (at + 1 >= bytes_.size()) return 0;
            return bytes_[at] | (uint32_t{bytes_[at + 1]} << 8);
        }
        case FatWidth::Fat32: {
            const size_t at = size_t{cluster} * 4;
            if (at + 3 >= bytes_.size()) return 0;
            return le32At(bytes_, at) & 0x0FFFFFFF;
        }
    }
    return 0;
}

uint32_t FatTable::next(uint32_t cluster) const {
    const uint32_t value = entry(cluster);
    return inRange(value) ? value : 0;
}

std::vector<uint32_t> followChain(const FatTable& fat, uint32_t first, uint64_t maxClusters,
                                  bool* looped) {
    std::vector<uint32_t> chain;
    if (looped != nullptr) *looped = false;
    // A chain cannot hold more distinct clusters than the volume has.
    const uint64_t budget = std::min<uint64_t>(maxClusters, fat.lastCluster() - 1);
    for (uint32_t cluster = first; fat.inRange(cluster) && chain.size() < budget;
         cluster = fat.next(cluster))
        chain.push_back(cluster);
    // A loop repeats a cluster; the chain ends before the first repeat.
    std::vector<uint32_t> sorted = chain;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        std::unordered_set<uint32_t> seen;
        size_t keep = 0;
        while (keep < chain.size() && seen.insert(chain[keep]).second) ++keep;
        chain.resize(keep);
        if (looped != nullptr) *looped = true;
    }
    return chain;
}

ShortSlot decodeShortSlot(std::span<const uint8_t, kSlotBytes> slot) {
    ByteReader reader(slot);
    ShortSlot out;
    std::memcpy(out.nameBytes, slot.data(), sizeof out.nameBytes);
    reader.seek(11);
    out.attributes = reader.u8();
    out.caseFlags = reader.u8();
    out.createTenths = reader.u8();
    out.createTime = reader.le16();
    out.createDate = reader.le16();
    out.accessDate = reader.le16();
    out.clusterHigh = reader.le16();
    out.writeTime = reader.le16();
    out.writeDate = reader.le16();
    out.clusterLow = reader.le16();
    out.size = reader.le32();
    return out;
}

std::string shortNameText(const ShortSlot& slot, bool deleted) {
    // Windows NT and Linux store all-lower-case 8.3 names in upper case with these flags.
    const bool lowerBase = (slot.caseFlags & 0x08) != 0;
    const bool lowerExtension = (slot.caseFlags & 0x10) != 0;
    int baseEnd = 8;
    while (baseEnd > 0 && slot.nameBytes[baseEnd - 1] == ' ') --baseEnd;
    int extensionEnd = 11;
    while (extensionEnd > 8 && slot.nameBytes[extensionEnd - 1] == ' ') --extensionEnd;
    std::string out;
    for (int i = 0; i < baseEnd; ++i) {
        uint8_t byte = slot.nameBytes[i];
        if (i == 0 && deleted) {
            out += '_';
            continue;
        }
        if (i == 0 && byte == 0x05) byte = kDeletedMark;  // a real leading 0xE5
        appendShortNameByte(out, byte, lowerBase);
    }
    if (extensionEnd > 8) {
        out += '.';
        for (int i = 8; i < extensionEnd; ++i)
            appendShortNameByte(out, slot.nameBytes[i], lowerExtension);
    }
    return out;
}

uint8_t shortNameChecksum(const uint8_t (&nameBytes)[11]) {
    uint8_t sum = 0;
    for (uint8_t byte : nameBytes) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + byte);
    return sum;
}

std::vector<uint16_t> longNamePiece(std::span<const uint8_t, kSlotBytes> slot) {
    static constexpr size_t kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::vector<uint16_t> units;
    for (size_t offset : kUnitOffsets) {
        const uint16_t unit = static_cast<uint16_t>(slot[offset] | (slot[offset + 1] << 8));
        if (unit == 0) break;
        if (unit == 0xFFFF) continue;
        units.push_back(unit);
    }
    return units;
}

std::string utf16UnitsToUtf8(const std::vector<uint16_t>& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        const uint32_t unit = units[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
            continue;
        }
        appendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
    }
    return out;
}

uint64_t dosTimeToFileTime(uint16_t date, uint16_t time, uint8_t tenMs) {
    if (date == 0) return 0;
    const unsigned year = 1980 + (date >> 9);
    const unsigned month = (date >> 5) & 0x0F;
    const unsigned day = date & 0x1F;
    const unsigned hour = time >> 11;
    const unsigned minute = (time >> 5) & 0x3F;
    const unsigned second = (time & 0x1F) * 2u;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59 || tenMs > 199)
        return 0;
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    const int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                            second + kSecondsFrom1601To1970;
    return static_cast<uint64_t>(seconds) * 10000000 + uint64_t{tenMs} * 100000;
}

}  // namespace prendle::fat_format
