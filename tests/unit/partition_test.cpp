// Partition tables and the sector search on small hand-made disks.
#include "volumes/partition.h"

#include <gtest/gtest.h>

#include <cstring>

#include "disk/file_read_seek_flat.h"
#include "disk/session.h"
#include "support/image_builder.h"
#include "volumes/boot_sector.h"

namespace prendle {
namespace {

using test::Bytes;

struct Row {
    std::string fs, index, size;
    uint64_t start;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << "{" << row.fs << ", " << row.index << ", '" << row.size << "', " << row.start
               << "}";
}

class Recorder : public VolumeSearchListener {
public:
    void setStatus(const std::string& text) override { statuses.push_back(text); }
    void addVolume(const VolumeInfo& v, bool rowAtTop) override {
        Row row{v.fsName, v.indexText, v.sizeText, v.startSector};
        rows.insert(rowAtTop ? rows.begin() : rows.end(), row);
        if (onVolume) onVolume();
    }
    void setProgressRange(uint32_t, uint32_t upper) override { rangeUpper = upper; }
    void setProgressPos(uint32_t position) override { positions.push_back(position); }
    void setFilterEnabled(bool enabled) override { filterEnabled = enabled; }

    std::vector<Row> rows;
    std::vector<std::string> statuses;
    std::vector<uint32_t> positions;
    uint32_t rangeUpper = 0;
    bool filterEnabled = true;
    std::function<void()> onVolume;
};

// A flat disk of whole sectors with helpers to write tables and boot sectors into it.
struct Disk {
    explicit Disk(uint64_t sectors) : bytes(sectors * 512, 0) {}
    void mbrEntry(uint64_t tableSector, int index, uint8_t type, uint32_t first, uint32_t count) {
        size_t at = tableSector * 512 + 446 + 16 * index;
        bytes[at + 4] = type;
        test::putLe32(bytes, at + 8, first);
        test::putLe32(bytes, at + 12, count);
    }
    void ntfs(uint64_t sector, uint64_t totalSectors) {
        size_t at = sector * 512;
        std::memcpy(&bytes[at], "\xEB\x52\x90NTFS    ", 11);
        test::putLe16(bytes, at + 11, 512);
        test::putLe64(bytes, at + 40, totalSectors);
    }
    void fat(uint64_t sector, const char* oem, uint16_t sectorsPerFat, uint32_t totalSectors) {
        size_t at = sector * 512;
        std::memcpy(&bytes[at], "\xEB\x3C\x90", 3);
        std::memcpy(&bytes[at + 3], oem, 8);
        test::putLe16(bytes, at + 11, 512);
        bytes[at + 13] = 4;
        test::putLe16(bytes, at + 14, 1);
        bytes[at + 16] = 2;
        test::putLe16(bytes, at + 17, 512);
        test::putLe16(bytes, at + 22, sectorsPerFat);
        test::putLe32(bytes, at + 32, totalSectors);
        if (sectorsPerFat == 0) test::putLe32(bytes, at + 36, 1000);
    }
    void hfsPlus(uint64_t volumeSector, uint32_t blocks) {
        size_t at = volumeSector * 512 + 1024;
        std::memcpy(&bytes[at], "H+\0\4", 4);
        test::putBe32(bytes, at + 40, 4096);
        test::putBe32(bytes, at + 44, blocks);
    }
    Bytes bytes;
};

class VolumeSearch : public testing::Test {
protected:
    std::vector<Row> standard(const Disk& disk, bool gpt = false) {
        file_ = std::make_unique<test::TempFile>(disk.bytes);
        EXPECT_TRUE(reader_.open(file_->path()));
        Partition partition(reader_, recorder);
        partition.gptEnabled = gpt;
        EXPECT_EQ(partition.standardSearch(), 0);
        return recorder.rows;
    }
    std::vector<Row> advanced(const Disk& disk, uint64_t start = 0, uint64_t end = 0,
                              bool skip = true) {
        file_ = std::make_unique<test::TempFile>(disk.bytes);
        EXPECT_TRUE(reader_.open(file_->path()));
        Partition partition(reader_, recorder);
        partition.customStart = start;
        partition.customEnd = end;
        partition.skipVolumeSize = skip;
        partition.advancedSearch(disk.bytes.size() / 512);
        EXPECT_TRUE(recorder.filterEnabled);
        return recorder.rows;
    }

    Recorder recorder;
    FileReadSeekFlat reader_;
    std::unique_ptr<test::TempFile> file_;
};

TEST_F(VolumeSearch, MbrTypesGiveTheirNamesSizesAndStatusTexts) {
    Disk disk(64);
    disk.mbrEntry(0, 0, 0x01, 2, 4096);
    disk.mbrEntry(0, 1, 0x0E, 3, 2047);
    disk.mbrEntry(0, 2, 0x0C, 4, 1u << 31);
    disk.mbrEntry(0, 3, 0x42, 5, 6144);
    EXPECT_EQ(standard(disk), (std::vector<Row>{{"FAT12", "0", "2   MB", 2},
                                                {"FAT16", "1", "0   MB", 3},
                                                {"FAT32", "2", "1048576   MB", 4},
                                                {"NTFS", "3", "3   MB", 5}}));
    EXPECT_EQ(recorder.statuses,
              (std::vector<std::string>{"found FAT 16...", "found FAT 32...", "NTFS..."}));
}

TEST_F(VolumeSearch, Type7IsExFatOrNtfsByItsBootSector) {
    Disk disk(64);
    disk.mbrEntry(0, 0, 0x07, 8, 2048);
    disk.mbrEntry(0, 1, 0x07, 16, 2048);
    disk.mbrEntry(0, 2, 0x83, 24, 2048);
    disk.mbrEntry(0, 3, 0x99, 32, 2048);
    std::memcpy(&disk.bytes[16 * 512],
                "\xEB\x76\x90"
                "EXFAT   ",
                11);
    EXPECT_EQ(standard(disk), (std::vector<Row>{{"NTFS", "0", "1   MB", 8},
                                                {"FAT64", "1", "1   MB", 16},
                                                {"extX", "2", "1   MB", 24},
                                                {"Unknown", "3", "1   MB", 32}}));
    EXPECT_EQ(recorder.statuses, (std::vector<std::string>{"found NTFS 1...", "found FAT64...",
                                                           "found ext2...", "found UNKNOWN..."}));
}

TEST_F(VolumeSearch, EmptyEntriesBeforeUsedOnesDoNotHideThem) {
    Disk disk(64);
    disk.mbrEntry(0, 2, 0x06, 40, 4096);
    disk.mbrEntry(0, 3, 0x83, 50, 4096);
    auto rows = standard(disk);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].start, 40u);
    EXPECT_EQ(rows[1].start, 50u);
}

TEST_F(VolumeSearch, LogicalVolumesStartFromTheExtendedBaseAndPrimariesAfterItStay) {
    Disk disk(256);
    disk.mbrEntry(0, 0, 0x07, 2, 10);
    disk.mbrEntry(0, 1, 0x0F, 100, 150);
    disk.mbrEntry(0, 2, 0x0B, 20, 10);
    // EBR at 100: logical at 100+2, link to 100+40; EBR at 140: logical at 140+3.
    disk.mbrEntry(100, 0, 0x0B, 2, 30);
    disk.mbrEntry(100, 1, 0x05, 40, 50);
    disk.mbrEntry(140, 0, 0x07, 3, 30);
    auto rows = standard(disk);
    std::vector<uint64_t> starts;
    for (const auto& row : rows) starts.push_back(row.start);
    EXPECT_EQ(starts, (std::vector<uint64_t>{2, 20, 102, 143}));
    EXPECT_EQ(recorder.statuses.back(), "found NTFS...");
}

TEST_F(VolumeSearch, ExtendedChainsEndAtALoopOrAfterFiftyRecords) {
    Disk loop(256);
    loop.mbrEntry(0, 0, 0x05, 100, 150);
    loop.mbrEntry(100, 0, 0x06, 2, 30);
    loop.mbrEntry(100, 1, 0x05, 0, 50);  // links back to itself
    EXPECT_EQ(standard(loop).size(), 1u);

    recorder.rows.clear();
    Disk chain(200);
    chain.mbrEntry(0, 0, 0x05, 1, 199);
    for (uint32_t k = 0; k < 60; ++k) {
        chain.mbrEntry(1 + 2 * k, 0, 0x06, 1, 1);
        chain.mbrEntry(1 + 2 * k, 1, 0x05, 2 * (k + 1), 2);
    }
    EXPECT_EQ(standard(chain).size(), kMaxExtendedBootRecords);
}

TEST_F(VolumeSearch, AnExtendedBaseBeyondTheDiskEndsQuietly) {
    Disk disk(16);
    disk.mbrEntry(0, 0, 0x06, 2, 10);
    disk.mbrEntry(0, 1, 0x05, 0xFFFFFFF0, 10);
    EXPECT_EQ(standard(disk).size(), 1u);
}

// GPT: a header at sector 1 and 128-byte entries from the sector it names.
struct GptDisk : Disk {
    explicit GptDisk(uint64_t sectors, uint32_t entryCount = 128) : Disk(sectors) {
        std::memcpy(&bytes[512], "EFI PART", 8);
        test::putLe64(bytes, 512 + 72, 2);
        test::putLe32(bytes, 512 + 80, entryCount);
        test::putLe32(bytes, 512 + 84, 128);
    }
    void entry(int index, uint32_t guidStart, uint64_t first, uint64_t last,
               const std::string& name) {
        size_t at = 1024 + 128 * index;
        test::putLe32(bytes, at, guidStart);
        bytes[at + 8] = 0x11;
        test::putLe64(bytes, at + 32, first);
        test::putLe64(bytes, at + 40, last);
        for (size_t i = 0; i < name.size() && i < 36; ++i) bytes[at + 56 + 2 * i] = name[i];
    }
};

TEST_F(VolumeSearch, GptEntriesAreIdentifiedByTheirVolumes) {
    GptDisk disk(9000);
    disk.entry(0, 0xC12A7328, 64, 4159, "EFI");
    disk.fat(64, "mkfs.fat", 0, 4096);
    disk.entry(1, 0xE3C9E316, 4160, 4200, "Microsoft reserved partition");
    disk.ntfs(4160, 4000);
    // Entry 2 is unused: the entries after it are still read.
    disk.entry(3, 0xEBD0A0A2, 4300, 6400, "Basic data partition");
    disk.ntfs(4300, 2100);
    disk.entry(4, 0x48465300, 6500, 7500, "Apple");
    disk.hfsPlus(6500, 200);
    disk.entry(5, 0x0FC63DAF, 7600, 8647, "Linux filesystem");
    test::putLe16(disk.bytes, (7600 + 2) * 512 + 56, 0xEF53);
    disk.entry(6, 0x12345678, 8700, 8900, "Mystery");
    // A FAT16 boot sector whose FAT size is no known layout and whose BPB is unsound.
    disk.entry(7, 0x12345679, 8901, 8950, "Odd");
    std::memcpy(&disk.bytes[8901 * 512], "\xEB\x3C\x90MSDOS5.0", 11);
    test::putLe16(disk.bytes, 8901 * 512 + 22, 77);
    // Outside the disk: passed over.
    disk.entry(8, 0x12345670, 100000, 100100, "Beyond");

    EXPECT_EQ(standard(disk, true), (std::vector<Row>{{"FAT32", "0", "2  MB", 64},
                                                      {"NTFS", "1", "1   MB", 4300},
                                                      {"HFS+", "2", "0", 6500},
                                                      {"extX", "3", "0   MB", 7600},
                                                      {"Mystery", "4", "0", 8700}}));
    EXPECT_EQ(recorder.statuses.back(), "found unknown...");
}

TEST_F(VolumeSearch, GptListsAtMostSeventyTwoVolumes) {
    GptDisk disk(400);
    for (int i = 0; i < 100; ++i) disk.entry(i, 0x12345678, 300 + i, 300 + i, "p");
    EXPECT_EQ(standard(disk, true).size(), kMaxGptVolumes);
}

TEST_F(VolumeSearch, AHostileGptHeaderIsBoundedAndAnArrayOutsideTheDiskEndsQuietly) {
    GptDisk disk(64, 0xFFFFFFFF);
    test::putLe32(disk.bytes, 512 + 84, 0x7FFFFFFF);
    disk.entry(0, 0x12345678, 40, 50, "one");
    EXPECT_EQ(standard(disk, true).size(), 1u);
    recorder.rows.clear();
    test::putLe64(disk.bytes, 512 + 72, UINT64_MAX / 256);
    EXPECT_TRUE(standard(disk, true).empty());
}

TEST_F(VolumeSearch, TheSectorSearchJumpsOverVolumesUnlessToldNotTo) {
    Disk disk(12288);
    disk.ntfs(2048, 4095);
    disk.ntfs(2048 + 4095, 4095);  // the backup boot sector at the volume's end
    disk.hfsPlus(8192, 256);
    EXPECT_EQ(advanced(disk),
              (std::vector<Row>{{"HFS+", "1", "1  MB", 8192}, {"NTFS", "0", "1   MB", 2048}}));
    recorder.rows.clear();
    auto rows = advanced(disk, 0, 0, false);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].start, 2048u + 4095u);
    EXPECT_EQ(recorder.rangeUpper, 1000u);
    EXPECT_EQ(recorder.positions.back(), 1000u);
}

TEST_F(VolumeSearch, TheSectorSearchFindsFatKindsWhateverTheirName) {
    Disk disk(8192);
    disk.fat(100, "MSDOS5.0", 128, 4096);  // 128 sectors per FAT: this search only
    disk.fat(5000, "mkfs.fat", 12, 3000);  // sound BPB, few clusters: FAT12
    auto rows = advanced(disk);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1], (Row{"FAT16", "0", "2  MB", 100}));
    EXPECT_EQ(rows[0], (Row{"FAT12", "1", "1  MB", 5000}));
}

TEST_F(VolumeSearch, TheSectorSearchRespectsItsRange) {
    Disk disk(8192);
    disk.ntfs(3000, 4000);
    disk.ntfs(7000, 1000);
    // A start past the disk finds nothing; an end inside a chunk still lets the chunk be
    // examined; an end before a chunk stops there.
    EXPECT_TRUE(advanced(disk, 9000).empty());
    EXPECT_EQ(advanced(disk, 2500, 2600, false).size(), 1u);
    recorder.rows.clear();
    EXPECT_TRUE(advanced(disk, 0, 100).empty());
}

TEST_F(VolumeSearch, AVolumeInTheLastPartialChunkIsFound) {
    Disk disk(2048 + 700);
    disk.ntfs(2048 + 600, 4000);
    auto rows = advanced(disk);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].start, 2648u);
}

TEST_F(VolumeSearch, StopEndsTheSectorSearch) {
    Disk disk(8192);
    disk.ntfs(10, 3000);
    disk.ntfs(5000, 3000);
    file_ = std::make_unique<test::TempFile>(disk.bytes);
    ASSERT_TRUE(reader_.open(file_->path()));
    Partition partition(reader_, recorder);
    recorder.onVolume = [&] { partition.stopRequested = true; };
    partition.advancedSearch(8192);
    EXPECT_EQ(recorder.rows.size(), 1u);
    EXPECT_EQ(recorder.statuses.back(), "found NTFS 1...");
    EXPECT_TRUE(recorder.filterEnabled);
}

}  // namespace
}  // namespace prendle
