// exFAT boot sector, entry-set and timestamp decoding on hand-made bytes.
#include "fs/exfat/exfat_structures.h"

#include <gtest/gtest.h>

#include "exfat_builder.h"

namespace prendle::exfat_format {
namespace {

using test::Bytes;
using test::exfat::EntrySetLayout;
using test::exfat::makeSet;
using test::exfat::VolumeBuilder;

TEST(ExFatBootSector, ShiftsNineAndThreeGive512ByteSectorsAnd4096ByteClusters) {
    VolumeBuilder volume(3, 16);
    auto boot = decodeBootSector(std::span(volume.bytes).first(512));
    ASSERT_TRUE(boot.ok()) << boot.error().message;
    EXPECT_EQ(boot.value().bytesPerSector(), 512u);
    EXPECT_EQ(boot.value().clusterBytes(), 4096u);
    EXPECT_EQ(boot.value().activeFatOffsetBytes(), 512u);
    EXPECT_EQ(boot.value().heapOffsetBytes(), volume.heapSector * 512u);
    EXPECT_EQ(boot.value().rootCluster, 2u);
}

TEST(ExFatBootSector, TheSecondFatIsReadWhenTheActiveFatFlagSaysSo) {
    VolumeBuilder volume;
    volume.bytes[110] = 2;
    volume.bytes[106] = 1;
    auto boot = decodeBootSector(std::span(volume.bytes).first(512));
    ASSERT_TRUE(boot.ok());
    EXPECT_EQ(boot.value().activeFatOffsetBytes(), 512u + volume.fatSectors * 512u);
}

TEST(ExFatBootSector, IllegalFieldsAreRefusedWithTheirValues) {
    struct Case {
        const char* name;
        size_t offset;
        std::vector<uint8_t> value;
        ErrorKind kind;
        const char* fragment;
    };
    const Case cases[] = {
        {"NotExFat",
         3,
         {'N', 'T', 'F', 'S', ' '},
         ErrorKind::Unsupported,
         "Selected Drive is not in exFat Format"},
        {"SectorShiftBelowNine", 108, {8}, ErrorKind::Corrupt, "bytes-per-sector shift 8"},
        {"SectorShiftAboveTwelve", 108, {13}, ErrorKind::Corrupt, "bytes-per-sector shift 13"},
        {"ClustersOver32MiB", 109, {17}, ErrorKind::Corrupt, "sectors-per-cluster shift 17"},
        {"ClusterShiftOf255", 109, {255}, ErrorKind::Corrupt, "sectors-per-cluster shift 255"},
        {"FatOffsetZero", 80, {0, 0, 0, 0}, ErrorKind::Corrupt, "FAT offset 0"},
        {"HeapOffsetZero", 88, {0, 0, 0, 0}, ErrorKind::Corrupt, "cluster heap offset 0"},
        {"NoClusters", 92, {0, 0, 0, 0}, ErrorKind::Corrupt, "cluster count 0"},
        {"ClusterCountReachesTheEndMarks",
         92,
         {0xF6, 0xFF, 0xFF, 0xFF},
         ErrorKind::Corrupt,
         "cluster count 4294967286"},
        {"RootClusterOne", 96, {1, 0, 0, 0}, ErrorKind::Corrupt, "root directory cluster 1"},
        {"RootClusterPastTheHeap",
         96,
         {66, 0, 0, 0},
         ErrorKind::Corrupt,
         "root directory cluster 66 outside clusters 2 to 65"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VolumeBuilder volume;
        std::copy(c.value.begin(), c.value.end(),
                  volume.bytes.begin() + static_cast<std::ptrdiff_t>(c.offset));
        auto boot = decodeBootSector(std::span(volume.bytes).first(512));
        ASSERT_FALSE(boot.ok());
        EXPECT_EQ(boot.error().kind, c.kind);
        EXPECT_NE(boot.error().message.find(c.fragment), std::string::npos) << boot.error().message;
    }
}

TEST(ExFatBootSector, ATruncatedSectorIsAReadError) {
    VolumeBuilder volume;
    auto boot = decodeBootSector(std::span(volume.bytes).first(100));
    ASSERT_FALSE(boot.ok());
    EXPECT_EQ(boot.error().kind, ErrorKind::Io);
    EXPECT_NE(boot.error().message.find("cant read file"), std::string::npos);
}

TEST(ExFatEntrySet, ValidSetsAreDecodedLiveOrDeleted) {
    struct Case {
        const char* name;
        EntrySetLayout layout;
        std::string expectedName;
        uint8_t expectedType;
    };
    EntrySetLayout twenty;
    twenty.name = u"twenty-chars-name.ab";  // 20 characters over two File Name entries
    EntrySetLayout deleted;
    deleted.deleted = true;
    deleted.name = u"gone.bin";
    EntrySetLayout unicode;
    unicode.name = u"Ünïcödé 文件 ☃";
    EntrySetLayout withVendorEntry;  // a secondary the parser does not know, counted in the set
    withVendorEntry.secondaryCount = 3;
    const Case cases[] = {
        {"TwentyCharactersJoinedInOrder", twenty, "twenty-chars-name.ab", 0x85},
        {"DeletedWithItsChecksum", deleted, "gone.bin", 0x05},
        {"Unicode", unicode, "Ünïcödé 文件 ☃", 0x85},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes slots(64, 0xEE);  // a slot of garbage before the set
        const Bytes set = makeSet(c.layout);
        slots.insert(slots.end(), set.begin(), set.end());
        slots.resize(slots.size() + 64, 0);
        const DecodedSet decoded = decodeEntrySet(slots, 64);
        ASSERT_EQ(decoded.verdict, SetVerdict::Accepted) << decoded.reason;
        EXPECT_EQ(decoded.set.name, c.expectedName);
        EXPECT_EQ(decoded.set.entryType, c.expectedType);
        EXPECT_EQ(decoded.slotCount, set.size() / 32);
        EXPECT_TRUE(decoded.set.checksumHolds);
    }
    // A vendor secondary after the names: the set covers it.
    Bytes set = makeSet(withVendorEntry);
    set.resize(set.size() + 32, 0);
    set[set.size() - 32] = 0xE0;
    test::putLe16(set, 2, entrySetChecksum(set, false));
    const DecodedSet decoded = decodeEntrySet(set, 0);
    ASSERT_EQ(decoded.verdict, SetVerdict::Accepted) << decoded.reason;
    EXPECT_EQ(decoded.slotCount, 4u);
}

TEST(ExFatEntrySet, GarbageSetsAreRejectedInsteadOfMakingUpNames) {
    struct Case {
        const char* name;
        EntrySetLayout layout;
        const char* reason;
    };
    EntrySetLayout noStream;
    noStream.stream = false;
    noStream.secondaryCount = 2;
    EntrySetLayout deletedBadChecksum;
    deletedBadChecksum.deleted = true;
    deletedBadChecksum.breakChecksum = true;
    EntrySetLayout zeroName;
    zeroName.nameLength = 0;
    EntrySetLayout nameTooLong;
    nameTooLong.nameLength = 255;
    EntrySetLayout oneSecondary;
    oneSecondary.secondaryCount = 1;
    EntrySetLayout namesMissing;  // the count promises a second name entry that is not there
    namesMissing.nameLength = 20;
    namesMissing.secondaryCount = 3;
    const Case cases[] = {
        {"FileEntryWithoutStreamExtension", noStream, "no Stream Extension"},
        {"DeletedSetWhoseChecksumFails", deletedBadChecksum, "checksum"},
        {"NameLengthZero", zeroName, "name length 0"},
        {"NameLengthBeyondTheSecondaryCount", nameTooLong, "name length 255"},
        {"SecondaryCountOne", oneSecondary, "secondary count 1"},
        {"FileNameEntryMissing", namesMissing, "File Name entry 2 missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes slots = makeSet(c.layout);
        slots.resize(slots.size() + 96, 0);
        const DecodedSet decoded = decodeEntrySet(slots, 0);
        EXPECT_EQ(decoded.verdict, SetVerdict::Rejected);
        EXPECT_EQ(decoded.slotCount, 1u);
        EXPECT_NE(decoded.reason.find(c.reason), std::string::npos) << decoded.reason;
    }
}

TEST(ExFatEntrySet, ALiveSetWhoseChecksumFailsIsKeptAndMarked) {
    EntrySetLayout layout;
    layout.breakChecksum = true;
    const DecodedSet decoded = decodeEntrySet(makeSet(layout), 0);
    ASSERT_EQ(decoded.verdict, SetVerdict::Accepted);
    EXPECT_FALSE(decoded.set.checksumHolds);
}

TEST(ExFatEntrySet, ASetCutByTheEndOfTheBytesAsksForMore) {
    EntrySetLayout layout;
    layout.name = u"a name of more than fifteen characters";
    const Bytes set = makeSet(layout);
    for (size_t cut : {size_t{16}, size_t{32}, size_t{64}, set.size() - 32}) {
        SCOPED_TRACE(cut);
        const DecodedSet decoded = decodeEntrySet(std::span(set).first(cut), 0);
        EXPECT_EQ(decoded.verdict, SetVerdict::NeedMoreBytes);
    }
    EXPECT_EQ(decodeEntrySet(set, set.size()).verdict, SetVerdict::NeedMoreBytes);
}

TEST(ExFatEntrySet, TheNameStopsAtItsLengthNotAtTheSlotsEnd) {
    EntrySetLayout layout;
    layout.name = u"abcdefXXXX";
    layout.nameLength = 6;
    const DecodedSet decoded = decodeEntrySet(makeSet(layout), 0);
    ASSERT_EQ(decoded.verdict, SetVerdict::Accepted);
    EXPECT_EQ(decoded.set.name, "abcdef");
}

TEST(ExFatTimestamp, EachFieldIsAppliedAndInvalidStampsGiveNothing) {
    constexpr uint64_t kTicks = 10'000'000;
    // 2024-03-01 12:34:56 UTC in FILETIME ticks.
    constexpr uint64_t kBase = (1709296496ull + 11644473600ull) * kTicks;
    struct Case {
        const char* name;
        uint32_t stamp;
        uint8_t tenMs;
        uint8_t offset;
        std::optional<uint64_t> expected;
    };
    const uint32_t stamp = test::exfat::kStamp;
    const Case cases[] = {
        {"PlainStampIsTakenAsUtc", stamp, 0, 0, kBase},
        {"TenMillisecondFieldAddsUpToTwoSeconds", stamp, 150, 0, kBase + 15 * kTicks / 10},
        {"TenMillisecondFieldAbove199IsIgnored", stamp, 200, 0, kBase},
        {"OffsetPlusOneHourIsSubtracted", stamp, 0, 0x80 | 4, kBase - 3600 * kTicks},
        {"OffsetMinusOneHourIsAdded", stamp, 0, 0x80 | 0x7C, kBase + 3600 * kTicks},
        {"OffsetWithoutItsValidBitIsIgnored", stamp, 0, 4, kBase},
        {"MonthZero", stamp & ~(uint32_t{0xF} << 21), 0, 0, std::nullopt},
        {"DayZero", stamp & ~(uint32_t{0x1F} << 16), 0, 0, std::nullopt},
        {"Hour24", (stamp & ~uint32_t{0xF800}) | (24u << 11), 0, 0, std::nullopt},
        {"Minute60", (stamp & ~uint32_t{0x07E0}) | (60u << 5), 0, 0, std::nullopt},
        {"AllZero", 0, 0, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(timestampToFileTime(c.stamp, c.tenMs, c.offset), c.expected);
    }
}

}  // namespace
}  // namespace prendle::exfat_format
