// FAT boot sectors, FAT entries at each width, short and long names and DOS times, from
// bytes built by hand: one valid structure, one field changed per case.
#include "fs/fat/fat_structures.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/image_builder.h"

namespace prendle::fat_format {
namespace {

using test::Bytes;
using test::putLe16;
using test::putLe32;

// A FAT16 boot sector: 512-byte sectors, 4 per cluster, 1 reserved, 2 FATs of 32 sectors,
// 512 root entries, 20000 sectors.
Bytes fat16Boot() {
    Bytes sector(512, 0);
    sector[0] = 0xEB;
    sector[1] = 0x3C;
    std::memcpy(&sector[3], "mkfs.fat", 8);
    putLe16(sector, 11, 512);
    sector[13] = 4;
    putLe16(sector, 14, 1);
    sector[16] = 2;
    putLe16(sector, 17, 512);
    putLe16(sector, 19, 20000);
    putLe16(sector, 22, 32);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

// A FAT32 boot sector: the 16-bit sectors-per-FAT is 0, root at cluster 2.
Bytes fat32Boot() {
    Bytes sector = fat16Boot();
    std::memcpy(&sector[3], "MSWIN4.1", 8);
    sector[13] = 1;
    putLe16(sector, 14, 32);
    putLe16(sector, 17, 0);
    putLe16(sector, 19, 0);
    putLe16(sector, 22, 0);
    putLe32(sector, 32, 70000);
    putLe32(sector, 36, 600);
    putLe32(sector, 44, 2);
    return sector;
}

TEST(FatBootSector, SoundParameterBlocksAreAcceptedWhateverTheirOemText) {
    for (const char* oem : {"mkfs.fat", "MSDOS5.0", "MSWIN4.1", "BSD  4.4", "EOS_DIGI", "\0\0\0"}) {
        SCOPED_TRACE(oem);
        Bytes sector = fat16Boot();
        std::memcpy(&sector[3], oem, std::strlen(oem));
        auto boot = decodeBootSector(sector);
        ASSERT_TRUE(boot.ok()) << boot.error().message;
        EXPECT_EQ(boot.value().width, FatWidth::Fat16);
    }
    auto boot = decodeBootSector(fat16Boot()).value();
    EXPECT_EQ(boot.clusterBytes, 2048u);
    EXPECT_EQ(boot.fatOffset, 512u);
    EXPECT_EQ(boot.rootDirectoryOffset, 512u * 65);
    EXPECT_EQ(boot.dataOffset, 512u * 97);
    EXPECT_EQ(boot.clusterCount, (20000u - 97) / 4);

    auto fat32 = decodeBootSector(fat32Boot());
    ASSERT_TRUE(fat32.ok()) << fat32.error().message;
    EXPECT_EQ(fat32.value().width, FatWidth::Fat32);
    EXPECT_EQ(fat32.value().dataOffset, 512u * (32 + 1200));
    EXPECT_EQ(fat32.value().rootCluster, 2u);
}

TEST(FatBootSector, FewerThan4085ClustersMakeFat12) {
    Bytes sector = fat16Boot();
    putLe16(sector, 19, 4000);
    auto boot = decodeBootSector(sector);
    ASSERT_TRUE(boot.ok());
    EXPECT_EQ(boot.value().width, FatWidth::Fat12);
}

TEST(FatBootSector, IllegalGeometryIsRefusedWithItsNumbers) {
    struct Case {
        const char* name;
        bool fat32;
        size_t offset;
        int width;
        uint32_t value;
        const char* message;
    };
    const Case cases[] = {
        {"ZeroBytesPerSector", false, 11, 2, 0, "bytes per sector 0"},
        {"BytesPerSectorNotAPowerOfTwo", false, 11, 2, 600, "bytes per sector 600"},
        {"BytesPerSectorAbove4096", false, 11, 2, 8192, "bytes per sector 8192"},
        {"ZeroSectorsPerCluster", false, 13, 1, 0, "sectors per cluster 0"},
        {"ThreeSectorsPerCluster", false, 13, 1, 3, "sectors per cluster 3"},
        {"NoReservedSectors", false, 14, 2, 0, "no reserved sectors"},
        {"NoFats", false, 16, 1, 0, "no FAT copies"},
        {"NoRootEntries", false, 17, 2, 0, "root entry count 0"},
        {"NoSectors", false, 19, 2, 0, "total sectors 0"},
        {"DataPastTheEnd", false, 19, 2, 90, "past the volume"},
        {"Fat32WithoutFatSectors", true, 36, 4, 0, "sectors per FAT 0"},
        {"Fat32RootClusterZero", true, 44, 4, 0, "root cluster 0"},
        {"Fat32RootClusterPastTheEnd", true, 44, 4, 0x0FFFFFF0, "root cluster 268435440"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes sector = c.fat32 ? fat32Boot() : fat16Boot();
        if (c.width == 1) sector[c.offset] = static_cast<uint8_t>(c.value);
        if (c.width == 2) putLe16(sector, c.offset, static_cast<uint16_t>(c.value));
        if (c.width == 4) putLe32(sector, c.offset, c.value);
        auto boot = decodeBootSector(sector);
        ASSERT_FALSE(boot.ok());
        EXPECT_EQ(boot.error().kind, ErrorKind::Corrupt);
        EXPECT_NE(boot.error().message.find(c.message), std::string::npos) << boot.error().message;
    }
    EXPECT_FALSE(decodeBootSector(Bytes(100, 0)).ok());
}

TEST(FatBootSector, TheClusterCountStopsWhereTheFatEnds) {
    Bytes sector = fat16Boot();
    putLe16(sector, 22, 1);  // one sector: 256 FAT16 entries
    putLe16(sector, 19, 60000);
    sector[13] = 1;
    auto boot = decodeBootSector(sector);
    ASSERT_TRUE(boot.ok());
    EXPECT_EQ(boot.value().clusterCount, 254u);
}

TEST(FatTable, EntriesAreReadAtEachWidthAndEndMarksEndChains) {
    // FAT12: entries 2 -> 3 -> 4 -> end (0xFFF), 5 = 0xFF8 end, packed in 1.5 bytes each.
    Bytes fat12 = {0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00, 0xFF, 0x8F, 0xFF, 0x00, 0x00, 0x00};
    FatTable table12(FatWidth::Fat12, fat12, 7);
    EXPECT_EQ(table12.entry(2), 3u);
    EXPECT_EQ(table12.entry(3), 4u);
    EXPECT_EQ(table12.entry(4), 0xFFFu);
    EXPECT_EQ(table12.entry(5), 0xFF8u);
    EXPECT_EQ(followChain(table12, 2, 100), (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_EQ(followChain(table12, 5, 100), (std::vector<uint32_t>{5}));

    Bytes fat16(40, 0);
    putLe16(fat16, 4, 3);
    putLe16(fat16, 6, 0xFFF8);   // Linux's end mark
    putLe16(fat16, 10, 0xFFF7);  // bad cluster
    putLe16(fat16, 16, 500);     // past the last cluster
    FatTable table16(FatWidth::Fat16, fat16, 19);
    EXPECT_EQ(followChain(table16, 2, 100), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(followChain(table16, 5, 100), (std::vector<uint32_t>{5}));
    EXPECT_EQ(followChain(table16, 8, 100), (std::vector<uint32_t>{8}));
    EXPECT_EQ(table16.entry(400), 0u);

    Bytes fat32(64, 0);
    putLe32(fat32, 8, 0xF0000003);  // the top four bits are not part of the entry
    putLe32(fat32, 12, 0x0FFFFFF8);
    FatTable table32(FatWidth::Fat32, fat32, 15);
    EXPECT_EQ(followChain(table32, 2, 100), (std::vector<uint32_t>{2, 3}));
}

TEST(FatTable, ALoopingChainEndsBeforeItsFirstRepeat) {
    Bytes fat16(40, 0);
    putLe16(fat16, 4, 3);
    putLe16(fat16, 6, 4);
    putLe16(fat16, 8, 3);
    FatTable table(FatWidth::Fat16, fat16, 19);
    bool looped = false;
    EXPECT_EQ(followChain(table, 2, 1000, &looped), (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_TRUE(looped);
    EXPECT_EQ(followChain(table, 2, 2, &looped), (std::vector<uint32_t>{2, 3}));
    EXPECT_FALSE(looped);
}

ShortSlot shortSlot(const char (&name)[12], uint8_t attributes = 0x20, uint8_t caseFlags = 0) {
    ShortSlot slot;
    std::memcpy(slot.nameBytes, name, 11);
    slot.attributes = attributes;
    slot.caseFlags = caseFlags;
    return slot;
}

TEST(FatShortName, NamesAreTrimmedAndDecoded) {
    struct Case {
        ShortSlot slot;
        bool deleted;
        const char* expected;
    };
    ShortSlot sigma = shortSlot("\x05IGMA   TXT");
    ShortSlot high = shortSlot("\x80\x81\xE1     TXT");
    const Case cases[] = {
        {shortSlot("NOTES   TXT"), false, "NOTES.TXT"},
        {shortSlot("README     "), false, "README"},
        {shortSlot("DOCS       ", 0x10), false, "DOCS"},
        {shortSlot("\xE5OTES   TXT"), true, "_OTES.TXT"},
        {sigma, false, "σIGMA.TXT"},
        {high, false, "Çüß.TXT"},
        {shortSlot("LOWER   TXT", 0x20, 0x18), false, "lower.txt"},
        {shortSlot("MIXED   TXT", 0x20, 0x08), false, "mixed.TXT"},
    };
    for (const Case& c : cases) EXPECT_EQ(shortNameText(c.slot, c.deleted), c.expected);
}

TEST(FatLongName, PiecesLoseTheirPaddingAndJoinSurrogates) {
    Bytes slot(32, 0);
    slot[0] = 0x41;
    slot[11] = 0x0F;
    const uint16_t units[13] = {'a',    0xD83D, 0xDE00, 'b',    0,      0xFFFF, 0xFFFF,
                                0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    const size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; ++i) putLe16(slot, offsets[i], units[i]);
    auto piece = longNamePiece(std::span<const uint8_t, 32>(slot.data(), 32));
    EXPECT_EQ(piece.size(), 4u);
    EXPECT_EQ(utf16UnitsToUtf8(piece),
              "a\xF0\x9F\x98\x80"
              "b");
}

TEST(FatShortName, ChecksumMatchesTheLongNameRule) {
    const uint8_t name[11] = {'A', 'L', 'O', 'N', 'G', 'F', '~', '1', 'T', 'X', 'T'};
    uint8_t sum = 0;
    for (uint8_t b : name) sum = static_cast<uint8_t>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + b);
    EXPECT_EQ(shortNameChecksum(name), sum);
}

TEST(FatTime, DosTimesBecomeUtcFileTimes) {
    struct Case {
        uint16_t date, time;
        uint8_t tenMs;
        uint64_t expected;
    };
    // 1980-01-01 00:00:00 UTC is 119600064000000000 ticks after 1601.
    constexpr uint64_t k1980 = 119600064000000000ULL;
    const Case cases[] = {
        {0x0021, 0, 0, k1980},
        {0x0021, 0x0001, 0, k1980 + 2 * 10000000ULL},
        {0x0021, 0x0001, 199, k1980 + 2 * 10000000ULL + 199 * 100000ULL},
        {0x0021, 0x0800 | (59 << 5) | 29, 0, k1980 + (3600 + 59 * 60 + 58) * 10000000ULL},
        {static_cast<uint16_t>((44 << 9) | (2 << 5) | 29), 0, 0, 0},  // 2024-02-29 is real
        {static_cast<uint16_t>((43 << 9) | (2 << 5) | 29), 0, 0, 0},  // 2023-02-29 is not
        {0, 0x1234, 0, 0},
        {0x0021 | (13 << 5), 0, 0, 0},
        {0x0021, 24 << 11, 0, 0},
        {0x0021, 0, 200, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        if (c.date == ((44 << 9) | (2 << 5) | 29)) {
            EXPECT_NE(dosTimeToFileTime(c.date, c.time, c.tenMs), 0u);
            continue;
        }
        EXPECT_EQ(dosTimeToFileTime(c.date, c.time, c.tenMs), c.expected);
    }
}

}  // namespace
}  // namespace prendle::fat_format
