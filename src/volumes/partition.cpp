#include "volumes/partition.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/utf16.h"
#include "volumes/boot_sector.h"

using namespace prendle;

namespace prendle {

std::string sizeTextThreeSpaces(uint64_t megabytes) {
    return std::to_string(megabytes) + "   MB";
}
std::string sizeTextTwoSpaces(uint64_t megabytes) {
    return std::to_string(megabytes) + "  MB";
}

bool hasGptHeader(readWriteInterface& reader) {
    std::array<uint8_t, 512> sector{};
    return reader.readDiskAt(512, sector) && std::memcmp(sector.data(), "EFI PART", 8) == 0;
}

}  // namespace prendle

namespace {

constexpr uint64_t kMegabyte = 1048576;
// Entries read when the header gives no usable count, as the table of a plain disk holds.
constexpr uint32_t kDefaultGptEntries = 80;
constexpr uint32_t kMaxGptEntries = 4096;
constexpr uint64_t kMaxGptArrayBytes = 1048576;

struct GptEntry {
    std::array<uint8_t, 16> typeGuid{};
    uint64_t firstLba = 0;
    uint64_t lastLba = 0;
    std::string name;
};

// Type GUID at 0, first LBA at 32, last LBA at 40, UTF-16 name of 36 units at 56.
GptEntry decodeGptEntry(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    GptEntry entry;
    auto guid = reader.bytes(16);
    if (!guid.empty()) std::memcpy(entry.typeGuid.data(), guid.data(), 16);
    reader.seek(32);
    entry.firstLba = reader.le64();
    entry.lastLba = reader.le64();
    reader.seek(56);
    entry.name = utf16LeToUtf8(reader.bytes(72));
    return entry;
}

// Names and status texts of the FAT kinds a boot sector shows.
const char* fatName(BootKind kind) {
    switch (kind) {
        case BootKind::Fat32:
            return "FAT32";
        case BootKind::Fat16:
            return "FAT16";
        case BootKind::Fat12:
            return "FAT12";
        case BootKind::ExFat:
            return "FAT64";
        default:
            return "UNKNOWN";
    }
}

const char* fatStatusText(BootKind kind) {
    switch (kind) {
        case BootKind::Fat32:
            return "found FAT 32...";
        case BootKind::Fat16:
            return "found FAT 16...";
        case BootKind::Fat12:
            return "found FAT 12...";
        case BootKind::ExFat:
            return "found FAT 64...";
        default:
            return "found unknown...";
    }
}

bool isExFatBootSector(std::span<const uint8_t> s) {
    return s.size() >= 7 && s[0] == 0xEB && (s[1] == 0x3C || s[1] == 0x58 || s[1] == 0x76) &&
           std::memcmp(s.data() + 3, "EXFA", 4) == 0;
}

}  // namespace

int Partition::standardSearch() {
    reader_.readerOrigin = 0;
    volumeNumber_ = 0;
    ntfsCount_ = 1;
    std::array<uint8_t, 1024> first{};
    bool ok = reader_.readDiskAt(0, first);
    if (ok && gptEnabled) {
        searchGpt(first);
    } else {
        searchMbr();
    }
    return 0;
}

void Partition::searchGpt(std::span<const uint8_t> firstSectors) {
    ByteReader header(firstSectors.subspan(512));
    header.seek(72);
    const uint64_t entriesLba = header.le64();
    const uint32_t headerCount = header.le32();
    const uint32_t headerEntryBytes = header.le32();
    const bool signed_ = std::memcmp(firstSectors.data() + 512, "EFI PART", 8) == 0;

    // The header's count and size, each bounded before their product sizes the read.
    uint32_t entryBytes =
        headerEntryBytes >= 128 && headerEntryBytes <= 4096 && headerEntryBytes % 128 == 0
            ? headerEntryBytes
            : 128;
    uint32_t count = signed_ && headerCount > 0 && headerCount <= kMaxGptEntries
                         ? headerCount
                         : kDefaultGptEntries;
    uint64_t arrayBytes = std::min<uint64_t>(uint64_t{count} * entryBytes, kMaxGptArrayBytes);
    auto arrayOffset = checkedMul(entriesLba, 512);
    if (!arrayOffset) return;
    std::vector<uint8_t> array(arrayBytes);
    if (!reader_.readDiskAt(*arrayOffset, array)) return;

    const uint64_t diskSectors = reader_.mappedBytes() / 512;
    std::vector<GptEntry> taken;
    for (uint64_t offset = 0; offset + 128 <= array.size() && taken.size() < kMaxGptVolumes;
         offset += entryBytes) {
        GptEntry entry = decodeGptEntry(std::span(array).subspan(offset, 128));
        bool unused = std::all_of(entry.typeGuid.begin(), entry.typeGuid.end(),
                                  [](uint8_t b) { return b == 0; });
        bool marked = std::any_of(entry.typeGuid.begin(), entry.typeGuid.begin() + 4,
                                  [](uint8_t b) { return b == 0x30; });
        // Unused slots between used ones are passed over, not taken as the end.
        if (unused || marked || entry.firstLba <= 2) continue;
        if (entry.firstLba >= diskSectors || entry.lastLba < entry.firstLba) continue;
        taken.push_back(std::move(entry));
    }

    const BootSectorRules rules{};
    for (const GptEntry& entry : taken) {
        std::array<uint8_t, 512> boot{};
        bool read = reader_.readDiskAt(entry.firstLba * 512, boot);
        if (entry.name == "Microsoft reserved partition") continue;
        if (!read) continue;
        BootSectorId id = identifyBootSector(boot, rules);
        const uint64_t megabytes = id.sizeBytes / kMegabyte;
        VolumeInfo volume;
        volume.startSector = entry.firstLba;
        switch (id.kind) {
            case BootKind::Ntfs: {
                uint64_t number = volumeNumber_++;
                if (megabytes > 0) {
                    listener_.setStatus("found NTFS " + std::to_string(ntfsCount_++) + "...");
                    volume.fsName = "NTFS";
                    volume.indexText = std::to_string(number);
                    volume.sizeText = sizeTextThreeSpaces(megabytes);
                    volume.kind = fileSystemKindFromName(volume.fsName);
                    listener_.addVolume(volume, false);
                }
                if (stopRequested) return;
                continue;
            }
            case BootKind::Fat32:
            case BootKind::Fat16:
            case BootKind::Fat12:
            case BootKind::FatUnknown:
            case BootKind::ExFat: {
                listener_.setStatus(fatStatusText(id.kind));
                if (megabytes > 0) {
                    volume.fsName = fatName(id.kind);
                    volume.indexText = std::to_string(volumeNumber_++);
                    volume.sizeText = sizeTextTwoSpaces(megabytes);
                    volume.kind = fileSystemKindFromName(volume.fsName);
                    listener_.addVolume(volume, false);
                }
                if (stopRequested) return;
                continue;
            }
            default:
                break;
        }
        // No boot sector: an HFS+ header or an ext superblock 1024 bytes in, or the
        // partition's own name.
        std::array<uint8_t, 512> third{};
        bool thirdRead = reader_.readDiskAt((entry.firstLba + 2) * 512, third);
        BootSectorId ext = thirdRead ? identifyExtSuperblock(third) : BootSectorId{};
        volume.indexText = std::to_string(volumeNumber_++);
        if (ext.kind == BootKind::Ext) {
            volume.fsName = "extX";
            volume.sizeText = sizeTextThreeSpaces((entry.lastLba - entry.firstLba + 1) / 2048);
        } else {
            bool hfs = thirdRead && identifyHfsPlusHeader(third).kind == BootKind::HfsPlus;
            volume.fsName = hfs ? "HFS+" : entry.name;
            volume.sizeText = std::to_string((entry.lastLba - entry.firstLba) / 2048);
        }
        volume.kind = fileSystemKindFromName(volume.fsName);
        listener_.addVolume(volume, false);
    }
}

void Partition::addMbrVolume(uint8_t type, uint64_t startSector, uint32_t sectorCount,
                             bool logical) {
    VolumeInfo volume;
    volume.startSector = startSector;
    volume.sizeText = sizeTextThreeSpaces(sectorCount / 2048);
    switch (type) {
        case 0x01:
            volume.fsName = "FAT12";
            break;
        case 0x04:
        case 0x06:
        case 0x0E:
            volume.fsName = "FAT16";
            listener_.setStatus("found FAT 16...");
            break;
        case 0x07: {
            std::array<uint8_t, 512> boot{};
            auto position = checkedMul(startSector, 512);
            bool read = position && reader_.readDiskAt(*position, boot);
            if (read && isExFatBootSector(boot)) {
                volume.fsName = "FAT64";
                listener_.setStatus("found FAT64...");
            } else {
                volume.fsName = "NTFS";
                listener_.setStatus(logical ? std::string("found NTFS...")
                                            : "found NTFS " + std::to_string(ntfsCount_++) + "...");
            }
            break;
        }
        case 0x0B:
        case 0x0C:
            volume.fsName = "FAT32";
            listener_.setStatus("found FAT 32...");
            break;
        case 0x42:
            // Dynamic-disk NTFS is recognised only in the MBR itself.
            volume.fsName = logical ? "Unknown" : "NTFS";
            listener_.setStatus(logical ? "found UNKNOWN..." : "NTFS...");
            break;
        case 0x83:
            volume.fsName = "extX";
            listener_.setStatus(logical ? "found extx..." : "found ext2...");
            break;
        default:
            volume.fsName = "Unknown";
            listener_.setStatus("found UNKNOWN...");
            break;
    }
    volume.indexText = std::to_string(volumeNumber_++);
    volume.kind = fileSystemKindFromName(volume.fsName);
    listener_.addVolume(volume, false);
}

void Partition::searchMbr() {
    std::array<uint8_t, 512> mbr{};
    if (!reader_.readDiskAt(0, mbr)) return;
    auto entryAt = [](std::span<const uint8_t> sector, int index) {
        ByteReader reader(sector);
        reader.seek(446 + 16 * index + 4);
        uint8_t type = reader.u8();
        reader.seek(446 + 16 * index + 8);
        uint32_t first = reader.le32();
        uint32_t count = reader.le32();
        return std::tuple{type, first, count};
    };
    auto isExtended = [](uint8_t type) { return type == 0x05 || type == 0x0F; };

    // Every used primary entry is listed, also those after an empty or extended one.
    bool hasExtended = false;
    uint64_t extendedBase = 0;
    for (int i = 0; i < 4; ++i) {
        auto [type, first, count] = entryAt(mbr, i);
        if (type == 0) continue;
        if (isExtended(type)) {
            if (!hasExtended) extendedBase = first;
            hasExtended = true;
            continue;
        }
        addMbrVolume(type, first, count, false);
    }
    if (!hasExtended) return;

    // The chain of extended boot records, each linked from the one before; a record
    // seen before ends it, as does the 50th.
    std::set<uint64_t> visited;
    uint64_t recordOffset = 0;
    for (size_t k = 0; k < kMaxExtendedBootRecords; ++k) {
        if (!visited.insert(recordOffset).second) return;
        std::array<uint8_t, 512> record{};
        if (!reader_.readDiskAt((extendedBase + recordOffset) * 512, record)) return;
        bool linked = false;
        uint64_t nextOffset = 0;
        for (int i = 0; i < 4; ++i) {
            auto [type, first, count] = entryAt(record, i);
            if (type == 0) continue;
            if (isExtended(type)) {
                if (!linked) nextOffset = first;
                linked = true;
                continue;
            }
            addMbrVolume(type, extendedBase + recordOffset + first, count, true);
        }
        if (!linked) return;
        recordOffset = nextOffset;
    }
}

void Partition::advancedSearch(uint64_t diskSectors) {
    stopRequested = false;
    reader_.readerOrigin = 0;
    listener_.setFilterEnabled(false);
    listener_.setStatus("Scanning partition.....");
    listener_.setProgressRange(0, 1000);
    auto finish = [&] { listener_.setFilterEnabled(true); };

    // Reads stop at the end of the disk as well as the end of what the container maps.
    const uint64_t diskBytes =
        std::min(checkedMul(diskSectors, 512).value_or(UINT64_MAX), reader_.mappedBytes());
    const uint64_t endBytes = checkedMul(customEnd, 512).value_or(UINT64_MAX);
    uint64_t n = customStart;
    if (n >= diskSectors || n >= diskBytes / 512) return finish();
    uint64_t b = n * 512;
    std::vector<uint8_t> buffer(kAdvancedChunkBytes);
    const BootSectorRules rules{true, true};

    while (true) {
        // The last chunk is read only as far as the disk goes, so its sectors are examined.
        const uint64_t chunkBytes = std::min(kAdvancedChunkBytes, diskBytes - b) / 512 * 512;
        if (chunkBytes == 0) return finish();
        std::span<uint8_t> chunk(buffer.data(), chunkBytes);
        if (!reader_.readDiskAt(b, chunk)) return finish();
        if (customEnd != 0 && endBytes < b) return finish();
        const uint64_t chunkSectors = chunkBytes / 512;
        uint64_t i = 0;
        while (i < chunkSectors) {
            if (stopRequested) {
                listener_.setStatus("Scanned Partitions");
                return finish();
            }
            if (customEnd != 0 && endBytes < b) break;
            std::span<const uint8_t> sector = chunk.subspan(i * 512, 512);
            const uint64_t p = b + i * 512;
            bool recognised = false;
            bool endLoop = false;
            uint64_t jumpSectors = 0;
            if (sector[0] == 0xEB) {
                BootSectorId id = identifyBootSector(sector, rules);
                const uint64_t megabytes = id.sizeBytes / kMegabyte;
                VolumeInfo volume;
                volume.startSector = p / 512;
                if (id.kind == BootKind::Ntfs) {
                    recognised = true;
                    if (megabytes > 0) {
                        listener_.setStatus("found NTFS " + std::to_string(ntfsCount_++) + "...");
                        volume.fsName = "NTFS";
                        volume.indexText = std::to_string(volumeNumber_++);
                        volume.sizeText = sizeTextThreeSpaces(megabytes);
                        volume.kind = fileSystemKindFromName(volume.fsName);
                        listener_.addVolume(volume, true);
                        if (skipVolumeSize) jumpSectors = id.sizeBytes / 512;
                    }
                } else if (id.kind != BootKind::None) {
                    recognised = true;
                    listener_.setStatus(fatStatusText(id.kind));
                    if (id.kind != BootKind::FatUnknown && megabytes > 0) {
                        volume.fsName = fatName(id.kind);
                        volume.indexText = std::to_string(volumeNumber_++);
                        volume.sizeText = sizeTextTwoSpaces(megabytes);
                        volume.kind = fileSystemKindFromName(volume.fsName);
                        listener_.addVolume(volume, true);
                        if (skipVolumeSize) {
                            jumpSectors = id.sizeBytes / 512;
                            endLoop = jumpSectors > UINT64_MAX - i || i + jumpSectors > 2048;
                        }
                    }
                }
            } else if (sector[0] == 'H' && p >= 1024) {
                BootSectorId id = identifyHfsPlusHeader(sector);
                if (id.kind == BootKind::HfsPlus) {
                    recognised = true;
                    const uint64_t megabytes = id.sizeBytes / kMegabyte;
                    if (megabytes >= 1 && megabytes <= 20971519) {
                        listener_.setStatus("found HFS+...");
                        VolumeInfo volume;
                        volume.fsName = "HFS+";
                        volume.indexText = std::to_string(volumeNumber_++);
                        volume.sizeText = sizeTextTwoSpaces(megabytes);
                        volume.startSector = (p - 1024) / 512;
                        volume.kind = fileSystemKindFromName(volume.fsName);
                        listener_.addVolume(volume, true);
                    }
                    if (skipVolumeSize && megabytes > 0) jumpSectors = id.sizeBytes / 512;
                }
            }
            if (stopRequested) {
                if (!recognised) listener_.setStatus("Scanned Partitions");
                return finish();
            }
            // A jump past the end of the disk ends the search below.
            i = jumpSectors > UINT64_MAX - i - 1 ? UINT64_MAX - 1 : i + jumpSectors;
            if (endLoop) break;
            ++i;
        }
        auto advanced = checkedMul(i, 512);
        if (!advanced || *advanced > diskBytes - b) return finish();
        b += *advanced;
        n += i;
        listener_.setProgressPos(static_cast<uint32_t>(static_cast<double>(n) /
                                                       static_cast<double>(diskSectors) * 1000.0));
        if (n >= diskSectors || b >= diskBytes) return finish();
    }
}
