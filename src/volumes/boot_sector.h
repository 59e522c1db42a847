// Recognises volume boot sectors (NTFS, FAT12/16, FAT32, exFAT) and HFS+ volume headers
// in one 512-byte sector. Tests use boot sectors written by mkntfs, mkfs.fat and mkfs.exfat.
#pragma once

#include <cstdint>
#include <span>

namespace prendle {

enum class BootKind { None, Ntfs, Fat32, Fat16, Fat12, FatUnknown, ExFat, HfsPlus, Ext };

struct BootSectorId {
    BootKind kind = BootKind::None;
    uint64_t sizeBytes = 0;
};

// The two searches differ in two details: the sector-by-sector search also wants the
// "NTFS" OEM name, and it takes 128 sectors per FAT as FAT16 too.
struct BootSectorRules {
    bool requireNtfsOemName = false;
    bool fat16With128SectorsPerFat = false;
};

// A boot sector: NTFS, a FAT kind or exFAT. Sizes are unsigned counts times 512.
// FAT is known by the "MSDO" OEM name Windows writes, or by a sound BIOS parameter block
// whatever the name (mkfs.fat writes "mkfs.fat", mtools "MTOO", Windows 9x "MSWIN4.1").
BootSectorId identifyBootSector(std::span<const uint8_t> sector, const BootSectorRules& rules);
// An HFS+ volume header ('H', '+', 0) as it lies 1024 bytes into its volume.
BootSectorId identifyHfsPlusHeader(std::span<const uint8_t> sector);
// An ext2/3/4 superblock (magic 0xEF53 at its byte 56) as it lies 1024 bytes into its
// volume; the size is the block count times the block size.
BootSectorId identifyExtSuperblock(std::span<const uint8_t> sector);

}  // namespace prendle
