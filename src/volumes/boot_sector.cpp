#include "volumes/boot_sector.h"

#include <cstring>
#include <optional>

#include "common/byte_reader.h"
#include "common/checked.h"

namespace prendle {

namespace {

bool hasJump(std::span<const uint8_t> s) {
    return s[0] == 0xEB && (s[1] == 0x3C || s[1] == 0x58 || s[1] == 0x76);
}

bool hasName(std::span<const uint8_t> s, const char* name) {
    return std::memcmp(s.data() + 3, name, 4) == 0;
}

uint64_t timesSector(uint64_t sectors) {
    return checkedMul(sectors, 512).value_or(0);
}

bool isPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// The FAT kind a sound BIOS parameter block describes, by its cluster count.
std::optional<BootKind> fatKindFromLayout(std::span<const uint8_t> s) {
    ByteReader reader(s);
    reader.seek(11);
    const uint16_t bytesPerSector = reader.le16();
    const uint8_t sectorsPerCluster = reader.u8();
    const uint16_t reservedSectors = reader.le16();
    const uint8_t fatCount = reader.u8();
    const uint16_t rootEntries = reader.le16();
    const uint16_t totalSectors16 = reader.le16();
    reader.skip(1);
    const uint16_t sectorsPerFat16 = reader.le16();
    reader.seek(32);
    const uint32_t totalSectors32 = reader.le32();
    const uint32_t sectorsPerFat32 = reader.le32();
    if (!isPowerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096 ||
        !isPowerOfTwo(sectorsPerCluster) || reservedSectors == 0 || fatCount == 0 || fatCount > 2)
        return std::nullopt;
    const uint64_t totalSectors = totalSectors16 != 0 ? totalSectors16 : totalSectors32;
    const uint64_t sectorsPerFat = sectorsPerFat16 != 0 ? sectorsPerFat16 : sectorsPerFat32;
    if (totalSectors == 0 || sectorsPerFat == 0) return std::nullopt;
    const uint64_t rootSectors = (uint64_t{rootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
    const uint64_t metadata = reservedSectors + uint64_t{fatCount} * sectorsPerFat + rootSectors;
    if (metadata >= totalSectors) return std::nullopt;
    const uint64_t clusters = (totalSectors - metadata) / sectorsPerCluster;
    if (sectorsPerFat16 == 0) return BootKind::Fat32;
    return clusters < 4085 ? BootKind::Fat12 : BootKind::Fat16;
}

}  // namespace

BootSectorId identifyBootSector(std::span<const uint8_t> sector, const BootSectorRules& rules) {
    if (sector.size() < 512) return {};
    ByteReader reader(sector);
    reader.seek(11);
    const uint16_t bytesPerSector = reader.le16();
    reader.seek(19);
    const uint16_t totalSectors16 = reader.le16();
    reader.seek(22);
    const uint16_t sectorsPerFat = reader.le16();
    reader.seek(32);
    const uint32_t totalSectors32 = reader.le32();
    reader.seek(40);
    const uint64_t ntfsSectors = reader.le64();
    reader.seek(72);
    const uint64_t exfatSectors = reader.le64();

    if (sector[0] == 0xEB && sector[1] == 0x52 && bytesPerSector == 512 &&
        (!rules.requireNtfsOemName || hasName(sector, "NTFS")))
        return {BootKind::Ntfs, timesSector(ntfsSectors)};
    if (!hasJump(sector)) return {};
    const bool windowsName = hasName(sector, "MSDO");
    const uint64_t totalSectors = totalSectors16 != 0 ? totalSectors16 : totalSectors32;
    const std::optional<BootKind> byLayout = fatKindFromLayout(sector);
    if (windowsName || byLayout) {
        if (sectorsPerFat == 0 && (windowsName || byLayout == BootKind::Fat32))
            return {BootKind::Fat32, timesSector(totalSectors32)};
        if (sectorsPerFat == 200 || sectorsPerFat == 256 ||
            (rules.fat16With128SectorsPerFat && sectorsPerFat == 128))
            return {BootKind::Fat16, timesSector(totalSectors)};
        if (byLayout) return {*byLayout, timesSector(totalSectors)};
        return {BootKind::FatUnknown, 0};
    }
    if (hasName(sector, "EXFA")) return {BootKind::ExFat, timesSector(exfatSectors)};
    return {};
}

BootSectorId identifyHfsPlusHeader(std::span<const uint8_t> sector) {
    if (sector.size() < 512 || sector[0] != 'H' || sector[1] != '+' || sector[2] != 0) return {};
    ByteReader reader(sector);
    reader.seek(40);
    const uint32_t blockBytes = reader.be32();
    const uint32_t totalBlocks = reader.be32();
    return {BootKind::HfsPlus, uint64_t{blockBytes} * totalBlocks};
}

BootSectorId identifyExtSuperblock(std::span<const uint8_t> sector) {
    if (sector.size() < 512) return {};
    ByteReader reader(sector);
    reader.seek(4);
    const uint32_t blocksLow = reader.le32();
    reader.seek(24);
    const uint32_t logBlockSize = reader.le32();
    reader.seek(56);
    if (reader.le16() != 0xEF53) return {};
    reader.seek(0x60);
    const uint32_t incompatible = reader.le32();
    reader.seek(0x150);
    const uint32_t blocksHigh = reader.le32();
    // Block sizes run from 1 KiB to 64 KiB; a larger shift is damage.
    if (logBlockSize > 6) return {BootKind::Ext, 0};
    constexpr uint32_t kIncompat64Bit = 0x80;
    uint64_t blocks = blocksLow;
    if ((incompatible & kIncompat64Bit) != 0) blocks |= uint64_t{blocksHigh} << 32;
    return {BootKind::Ext, checkedMul(blocks, uint64_t{1} << (10 + logBlockSize)).value_or(0)};
}

}  // namespace prendle
