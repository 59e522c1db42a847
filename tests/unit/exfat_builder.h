// Hand-made exFAT entry sets and volumes for the exFAT tests: one valid layout each, so
// that a test can change one field and see what the parser makes of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/exfat/exfat_structures.h"
#include "support/image_builder.h"

namespace prendle::test::exfat {

inline constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
// 2024-03-01 12:34:56 as a DOS stamp: date in the high half, time in the low half.
inline constexpr uint32_t kStamp =
    (uint32_t{((2024 - 1980) << 9) | (3 << 5) | 1} << 16) | ((12 << 11) | (34 << 5) | (56 / 2));

struct EntrySetLayout {
    std::u16string name = u"file.txt";
    uint16_t attributes = 0x20;
    bool deleted = false;
    uint8_t flags = 3;  // allocation possible, no FAT chain
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    uint64_t validDataLength = ~uint64_t{0};  // the data length unless set
    int secondaryCount = -1;                  // -1: exactly the stream and the name entries
    int nameLength = -1;                      // -1: the name's length
    bool stream = true;
    bool breakChecksum = false;
};

// The 32-byte entries of one set with a correct checksum (unless asked otherwise).
inline Bytes makeSet(const EntrySetLayout& layout) {
    const size_t nameSlots = (layout.name.size() + 14) / 15;
    const size_t slots = 1 + (layout.stream ? 1 : 0) + nameSlots;
    Bytes set(slots * 32, 0);
    set[0] = 0x85;
    set[1] = static_cast<uint8_t>(layout.secondaryCount >= 0 ? layout.secondaryCount : slots - 1);
    putLe16(set, 4, layout.attributes);
    putLe32(set, 8, kStamp);
    putLe32(set, 12, kStamp);
    putLe32(set, 16, kStamp);
    size_t at = 32;
    if (layout.stream) {
        set[at] = 0xC0;
        set[at + 1] = layout.flags;
        set[at + 3] = static_cast<uint8_t>(
            layout.nameLength >= 0 ? layout.nameLength : static_cast<int>(layout.name.size()));
        putLe64(
            set, at + 8,
            layout.validDataLength == ~uint64_t{0} ? layout.dataLength : layout.validDataLength);
        putLe32(set, at + 20, layout.firstCluster);
        putLe64(set, at + 24, layout.dataLength);
        at += 32;
    }
    for (size_t i = 0; i < layout.name.size(); ++i) {
        if (i % 15 == 0) {
            set[at + (i / 15) * 32] = 0xC1;
        }
        putLe16(set, at + (i / 15) * 32 + 2 + (i % 15) * 2, static_cast<uint16_t>(layout.name[i]));
    }
    uint16_t checksum = prendle::exfat_format::entrySetChecksum(set, false);
    if (layout.breakChecksum) checksum ^= 0x5A5A;
    putLe16(set, 2, checksum);
    if (layout.deleted)
        for (size_t i = 0; i < set.size(); i += 32) set[i] &= 0x7F;
    return set;
}

// A volume of 512-byte sectors: boot sector, the FAT from sector 1, the cluster heap
// after it; the root directory is cluster 2 alone until a test chains it on.
struct VolumeBuilder {
    explicit VolumeBuilder(uint8_t sectorsPerClusterShift = 0, uint32_t clusterCountIn = 64)
        : clusterBytes(512u << sectorsPerClusterShift), clusterCount(clusterCountIn) {
        fatSectors = static_cast<uint32_t>((uint64_t{clusterCount} + 2) * 4 / 512 + 1);
        heapSector = 1 + fatSectors;
        bytes.assign(heapSector * 512 + uint64_t{clusterCount} * clusterBytes, 0);
        bytes[0] = 0xEB;
        bytes[1] = 0x76;
        const char name[] = "EXFAT   ";
        for (size_t i = 0; i < 8; ++i) bytes[3 + i] = static_cast<uint8_t>(name[i]);
        putLe64(bytes, 72, bytes.size() / 512);
        putLe32(bytes, 80, 1);
        putLe32(bytes, 84, fatSectors);
        putLe32(bytes, 88, heapSector);
        putLe32(bytes, 92, clusterCount);
        putLe32(bytes, 96, 2);
        bytes[108] = 9;
        bytes[109] = sectorsPerClusterShift;
        bytes[110] = 1;
        bytes[510] = 0x55;
        bytes[511] = 0xAA;
        setFat(0, 0xFFFFFFF8);
        setFat(1, 0xFFFFFFFF);
        setFat(2, kEndOfChain);
    }
    void setFat(uint32_t cluster, uint32_t value) {
        putLe32(bytes, 512 + size_t{cluster} * 4, value);
    }
    // Links the clusters in order and ends the chain after the last.
    void chain(const std::vector<uint32_t>& clusters) {
        for (size_t i = 0; i < clusters.size(); ++i)
            setFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEndOfChain);
    }
    size_t clusterOffset(uint32_t cluster) const {
        return size_t{heapSector} * 512 + (size_t{cluster} - 2) * clusterBytes;
    }
    // Writes at a byte of a cluster; the data may run on into the clusters after it.
    void put(uint32_t cluster, size_t byteInCluster, const Bytes& data) {
        std::copy(
            data.begin(), data.end(),
            bytes.begin() + static_cast<std::ptrdiff_t>(clusterOffset(cluster) + byteInCluster));
    }
    // Fills clusters with a pattern that names the cluster, so a misplaced one shows.
    void fillCluster(uint32_t cluster) {
        for (size_t i = 0; i < clusterBytes; ++i)
            bytes[clusterOffset(cluster) + i] = static_cast<uint8_t>(cluster * 7 + i % 251);
    }
    Bytes clusterData(uint32_t cluster) const {
        return Bytes(
            bytes.begin() + static_cast<std::ptrdiff_t>(clusterOffset(cluster)),
            bytes.begin() + static_cast<std::ptrdiff_t>(clusterOffset(cluster) + clusterBytes));
    }

    uint32_t clusterBytes;
    uint32_t clusterCount;
    uint32_t fatSectors = 0;
    uint32_t heapSector = 0;
    Bytes bytes;
};

}  // namespace prendle::test::exfat
