// ext2/3/4 structures from hand-made and damaged bytes: the superblock's checks, extent
// nodes, directory blocks with removed records in their slack, inline data attributes,
// times, and whole fixture volumes with one field broken.
#include "fs/ext/ext_structures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "common/byte_reader.h"
#include "disk/memory_sector_source.h"
#include "fs/ext/ext2_class.h"
#include "support/image_builder.h"

namespace prendle {
namespace test {
std::vector<uint8_t> unpackExtFixture(const std::string& name);
std::multimap<std::string, fs::EntryId> extPaths(const ext2Class& parser);
}  // namespace test

namespace {

using namespace ext_format;
using test::Bytes;
using test::putLe16;
using test::putLe32;

// A sound superblock: 1 KiB blocks, 8192 blocks in one group, 2048 inodes of 256 bytes.
Bytes validSuperblock() {
    Bytes sb(1024);
    putLe32(sb, 0, 2048);   // inodes
    putLe32(sb, 4, 8192);   // blocks
    putLe32(sb, 20, 1);     // first data block
    putLe32(sb, 24, 0);     // 1 KiB
    putLe32(sb, 32, 8192);  // blocks per group
    putLe32(sb, 40, 2048);  // inodes per group
    putLe16(sb, 56, 0xEF53);
    putLe32(sb, 76, 1);  // dynamic revision
    putLe32(sb, 84, 11);
    putLe16(sb, 88, 256);
    putLe32(sb, 96, kIncompatFileType);
    return sb;
}

struct SuperblockCase {
    const char* name;
    size_t offset;
    int width;
    uint32_t value;
    const char* fragment;  // empty: accepted
};

class SuperblockField : public testing::TestWithParam<SuperblockCase> {};

TEST_P(SuperblockField, IsCheckedBeforeUse) {
    const SuperblockCase& c = GetParam();
    Bytes sb = validSuperblock();
    if (c.width == 2)
        putLe16(sb, c.offset, static_cast<uint16_t>(c.value));
    else
        putLe32(sb, c.offset, c.value);
    auto decoded = decodeSuperblock(sb);
    if (std::strlen(c.fragment) == 0) {
        EXPECT_TRUE(decoded.ok()) << decoded.error().message;
        return;
    }
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().kind, ErrorKind::Corrupt);
    EXPECT_NE(decoded.error().message.find(c.fragment), std::string::npos)
        << decoded.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Ext, SuperblockField,
    testing::Values(
        SuperblockCase{"SoundSuperblockIsAccepted", 0, 4, 2048, ""},
        SuperblockCase{"WrongMagicIsRefused", 56, 2, 0x1234, "magic"},
        SuperblockCase{"BlockSizeAbove64KiBIsRefused", 24, 4, 7, "above 64 KiB"},
        SuperblockCase{"BlockSizeOf64KiBIsAccepted", 24, 4, 6, ""},
        SuperblockCase{"InodeSizeBelow128IsRefused", 88, 2, 64, "inode size 64"},
        SuperblockCase{"InodeSizeNotAPowerOfTwoIsRefused", 88, 2, 384, "inode size"},
        SuperblockCase{"InodeSizeAboveTheBlockIsRefused", 88, 2, 2048, "inode size"},
        SuperblockCase{"NoBlocksPerGroupIsRefused", 32, 4, 0, "blocks per group"},
        SuperblockCase{"TooManyBlocksPerGroupIsRefused", 32, 4, 8193, "blocks per group"},
        SuperblockCase{"NoInodesPerGroupIsRefused", 40, 4, 0, "inodes per group"},
        SuperblockCase{"TooManyInodesPerGroupIsRefused", 40, 4, 9000, "inodes per group"},
        SuperblockCase{"NoBlocksIsRefused", 4, 4, 1, "blocks, first data block"},
        SuperblockCase{"BadDescriptorSizeOn64BitIsRefused", 96, 4,
                       kIncompatFileType | kIncompat64Bit, "descriptor size 0"},
        SuperblockCase{"TooFewInodesIsRefused", 0, 4, 1, "too few"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ExtSuperblock, GeometryIsDerivedIn64Bits) {
    Bytes sb = validSuperblock();
    putLe32(sb, 0, 0xFFFFFFFF);  // more inodes than the tables hold: cut to what they hold
    putLe32(sb, 96, kIncompat64Bit);
    putLe16(sb, 254, 64);
    putLe32(sb, 4, 10);
    putLe32(sb, 336, 1);  // 2^32 + 10 blocks
    auto decoded = decodeSuperblock(sb);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded.value().blockCount, (uint64_t{1} << 32) + 10);
    EXPECT_EQ(decoded.value().descriptorBytes, 64u);
    EXPECT_EQ(decoded.value().groupCount, ((uint64_t{1} << 32) + 9 + 8191) / 8192);
    EXPECT_EQ(decoded.value().inodeCount, decoded.value().groupCount * 2048u);
    EXPECT_FALSE(decoded.value().typedDirEntries());
}

TEST(ExtSuperblock, BackupsLieInGroupsOneAndPowersOfThreeFiveAndSeven) {
    Superblock sb;
    sb.featureRoCompat = kRoCompatSparseSuper;
    for (uint64_t g : {0, 1, 3, 5, 7, 9, 25, 27, 49, 81, 125, 343})
        EXPECT_TRUE(groupHasSuperblock(sb, g)) << g;
    for (uint64_t g : {2, 4, 6, 8, 10, 15, 21, 35}) EXPECT_FALSE(groupHasSuperblock(sb, g)) << g;
    sb.featureRoCompat = 0;
    EXPECT_TRUE(groupHasSuperblock(sb, 4));
}

TEST(ExtTimes, SecondsEpochBitsAndNanosecondsBecomeFileTimes) {
    constexpr uint64_t k1970 = 116444736000000000ull;
    EXPECT_EQ(extTimeToFileTime(0, false, 0), k1970);
    EXPECT_EQ(extTimeToFileTime(1, true, 5u << 2), k1970 + 10000000u);  // 5 ns is below a tick
    EXPECT_EQ(extTimeToFileTime(1, true, 500u << 2), k1970 + 10000005u);
    // Without extra bits a time above 2^31 is before 1970; epoch bit 1 moves it past 2038.
    EXPECT_EQ(extTimeToFileTime(0x80000000u, false, 0), k1970 - 2147483648ull * 10000000u);
    EXPECT_EQ(extTimeToFileTime(0x80000000u, true, 1), k1970 + 2147483648ull * 10000000u);
}

Bytes extentNode(uint16_t entries, uint16_t depth, size_t bytes = 60) {
    Bytes node(bytes);
    putLe16(node, 0, kExtentMagic);
    putLe16(node, 2, entries);
    putLe16(node, 4, 4);
    putLe16(node, 6, depth);
    return node;
}

TEST(ExtExtents, LeafLengthsAbove32768AreUnwritten) {
    Bytes node = extentNode(3, 0);
    putLe32(node, 12, 0);
    putLe16(node, 16, 32768);  // initialised, full length
    putLe32(node, 20, 100);
    putLe32(node, 24, 32768);
    putLe16(node, 28, 32769);  // one unwritten block
    putLe16(node, 30, 2);      // start high
    putLe32(node, 32, 7);
    putLe32(node, 36, 40000);
    putLe16(node, 40, 65535);
    putLe32(node, 44, 9);
    ExtentHeader header;
    auto entries = decodeExtentNode(node, header);
    ASSERT_TRUE(entries.ok());
    ASSERT_EQ(entries.value().size(), 3u);
    EXPECT_EQ(entries.value()[0].blockCount, 32768u);
    EXPECT_FALSE(entries.value()[0].unwritten);
    EXPECT_EQ(entries.value()[1].blockCount, 1u);
    EXPECT_TRUE(entries.value()[1].unwritten);
    EXPECT_EQ(entries.value()[1].physicalBlock, (uint64_t{2} << 32) + 7);
    EXPECT_EQ(entries.value()[2].blockCount, 32767u);
}

TEST(ExtExtents, DamagedNodesAreRefused) {
    struct Case {
        Bytes node;
        const char* fragment;
    };
    Bytes badMagic = extentNode(1, 0);
    putLe16(badMagic, 0, 0x1234);
    const Case cases[] = {{badMagic, "magic"},
                          {extentNode(5, 0), "room for 4"},
                          {extentNode(1, 6), "depth 6"},
                          {Bytes(8), "extent node of 8 bytes"}};
    for (const Case& c : cases) {
        ExtentHeader header;
        auto entries = decodeExtentNode(c.node, header);
        ASSERT_FALSE(entries.ok()) << c.fragment;
        EXPECT_NE(entries.error().message.find(c.fragment), std::string::npos)
            << entries.error().message;
    }
}

// A directory record: inode, record length, name (typed form, file type 1).
void putRecord(Bytes& block, size_t offset, uint32_t inode, uint16_t length,
               const std::string& name, uint8_t fileType = 1) {
    putLe32(block, offset, inode);
    putLe16(block, offset + 4, length);
    block[offset + 6] = static_cast<uint8_t>(name.size());
    block[offset + 7] = fileType;
    std::memcpy(block.data() + offset + 8, name.data(), name.size());
}

struct Seen {
    std::vector<std::string> names;
    std::vector<uint32_t> inodes;
    std::vector<bool> deleted;
    std::string problem;
};

Seen walk(const Bytes& block, bool wantDeleted = true, uint32_t inodeCount = 100) {
    Seen seen;
    parseDirectoryBlock(
        block, true, inodeCount, wantDeleted,
        [&](const DirectoryRecord& r) {
            seen.names.emplace_back(r.name);
            seen.inodes.push_back(r.inode);
            seen.deleted.push_back(r.deleted);
        },
        &seen.problem);
    return seen;
}

TEST(ExtDirectoryBlock, RemovedRecordsInSlackAreListedAsDeleted) {
    Bytes block(1024);
    putRecord(block, 0, 12, 12, "a");
    putRecord(block, 12, 13, 1012, "kept");       // its length now covers the removed ones
    putRecord(block, 28, 14, 20, "removed.txt");  // a removed record inside the slack
    putRecord(block, 48, 15, 976, "gone", 2);
    Seen seen = walk(block);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"a", "kept", "removed.txt", "gone"}));
    EXPECT_EQ(seen.deleted, (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(seen.problem, "");
    EXPECT_EQ(walk(block, false).names, (std::vector<std::string>{"a", "kept"}));
}

TEST(ExtDirectoryBlock, TheFirstRecordRemovedKeepsItsNameWithoutAnInode) {
    Bytes block(1024);
    putRecord(block, 0, 0, 1024, "first.txt");
    Seen seen = walk(block);
    ASSERT_EQ(seen.names.size(), 1u);
    EXPECT_EQ(seen.inodes[0], 0u);
    EXPECT_TRUE(seen.deleted[0]);
}

TEST(ExtDirectoryBlock, SlackBytesThatAreNoRecordAreSkipped) {
    Bytes block(1024);
    putRecord(block, 0, 12, 1024, "only");
    putRecord(block, 12, 500, 12, "big");    // names an inode past the count
    putRecord(block, 24, 14, 12, "a/b");     // a separator cannot be in a name
    putRecord(block, 36, 15, 2000, "long");  // runs past the slack
    putRecord(block, 48, 16, 12, "ok", 9);   // no such file type
    Seen seen = walk(block);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"only"}));
}

TEST(ExtDirectoryBlock, DamagedRecordsEndTheBlockWithAProblem) {
    struct Case {
        const char* name;
        uint16_t length;
        uint32_t inode;
        const char* fragment;
        size_t kept;
    };
    const Case cases[] = {{"LengthPastTheBlock", 2000, 12, "has length 2000", 1},
                          {"LengthZero", 0, 12, "has length 0", 1},
                          {"LengthNotAligned", 14, 12, "has length 14", 1},
                          {"InodePastTheCount", 1012, 101, "names inode 101 of 100", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes block(1024);
        putRecord(block, 0, 12, 12, "a");
        putRecord(block, 12, c.inode, c.length, "b");
        Seen seen = walk(block);
        EXPECT_EQ(seen.names.size(), c.kept);
        EXPECT_NE(seen.problem.find(c.fragment), std::string::npos) << seen.problem;
    }
}

TEST(ExtDirectoryBlock, A64KiBBlockStoresItsWholeLengthAsZero) {
    Bytes block(65536);
    putRecord(block, 0, 12, 0, "whole");
    Seen seen = walk(block);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"whole"}));
    EXPECT_EQ(seen.problem, "");
}

TEST(ExtInlineData, TheSystemDataValueIsFoundAndBounded) {
    Bytes inode(256);
    putLe16(inode, 128, 32);  // extra size
    putLe32(inode, 160, 0xEA020000u);
    const size_t entry = 164;
    inode[entry] = 4;               // name length
    inode[entry + 1] = 7;           // system namespace
    putLe16(inode, entry + 2, 40);  // value offset from the first entry
    putLe32(inode, entry + 8, 6);   // value size
    std::memcpy(inode.data() + entry + 16, "data", 4);
    std::memcpy(inode.data() + entry + 40, "inline", 6);
    auto value = inlineDataAttribute(inode);
    EXPECT_EQ(std::string(value.begin(), value.end()), "inline");
    putLe32(inode, entry + 8, 200);  // past the inode
    EXPECT_TRUE(inlineDataAttribute(inode).empty());
    putLe16(inode, 128, 500);  // extra size past the inode
    EXPECT_TRUE(inlineDataAttribute(inode).empty());
}

// ---------------------------------------------------------------------------------------
// Whole volumes with one field broken.

struct Volume {
    Bytes bytes;
    Superblock sb;
    std::vector<GroupDescriptor> groups;

    explicit Volume(const std::string& name) : bytes(test::unpackExtFixture(name)) {
        sb = decodeSuperblock(std::span(bytes).subspan(1024, 1024)).value();
        const uint64_t table = (1024 / sb.blockSize + 1) * sb.blockSize;
        for (uint32_t g = 0; g < sb.groupCount; ++g)
            groups.push_back(decodeGroupDescriptor(
                std::span(bytes).subspan(table + g * sb.descriptorBytes, sb.descriptorBytes),
                sb.descriptorBytes));
    }
    size_t inodeOffset(uint32_t number) const {
        const auto& g = groups[(number - 1) / sb.inodesPerGroup];
        return g.inodeTableBlock * sb.blockSize + ((number - 1) % sb.inodesPerGroup) * sb.inodeSize;
    }
    struct Parsed {
        std::unique_ptr<MemorySectorSource> disk;
        std::unique_ptr<ext2Class> parser;
        Result<fs::ParseSummary> summary = corruptError("not parsed");
    };
    Parsed parse() const {
        Parsed out;
        out.disk = std::make_unique<MemorySectorSource>(bytes);
        out.parser = std::make_unique<ext2Class>(VolumeView::toDiskEnd(*out.disk, 0),
                                                 VolumeInfo{"extX", "", "0", "8", 0});
        Progress progress;
        out.summary = out.parser->parse(fs::ParseMode::Standard, progress);
        return out;
    }
};

fs::EntryId find(const ext2Class& parser, const std::string& path) {
    auto paths = test::extPaths(parser);
    auto found = paths.find(path);
    return found == paths.end() ? fs::kNoEntry : found->second;
}

Status extractQuietly(ext2Class& parser, fs::EntryId id, uint64_t& written) {
    test::TempFolder folder;
    auto out = FileHandle::createWrite(folder.path() + "/out");
    if (!out) return out.error();
    Progress progress;
    Status status = parser.extract(id, out.value(), progress);
    written = out.value().size().ok() ? out.value().size().value() : 0;
    return status;
}

uint32_t inodeOf(const std::string& fixture, const std::string& path) {
    Volume::Parsed parsed = Volume(fixture).parse();
    const fs::EntryId id = find(*parsed.parser, path);
    return id == fs::kNoEntry ? 0 : parsed.parser->entryTable[id].inode;
}

TEST(ExtDamagedVolume, AnInodeSizeBelow128IsRefusedWithAClearMessage) {
    Volume v("ext4");
    putLe16(v.bytes, 1024 + 88, 100);
    // Every backup copy carries the same field; refuse them too so the search ends empty.
    for (size_t at = 2048; at + 1024 <= v.bytes.size(); at += 512)
        if (v.bytes[at + 56] == 0x53 && v.bytes[at + 57] == 0xEF) putLe16(v.bytes, at + 88, 100);
    auto parsed = v.parse();
    ASSERT_FALSE(parsed.summary.ok());
    EXPECT_EQ(parsed.summary.error().kind, ErrorKind::Corrupt);
    EXPECT_NE(parsed.summary.error().message.find("inode size 100"), std::string::npos)
        << parsed.summary.error().message;
}

TEST(ExtDamagedVolume, ABrokenPrimarySuperblockFallsBackToABackup) {
    Volume v("ext2");
    putLe16(v.bytes, 1024 + 56, 0);
    auto parsed = v.parse();
    ASSERT_TRUE(parsed.summary.ok()) << parsed.summary.error().message;
    EXPECT_NE(find(*parsed.parser, "tiny.txt"), fs::kNoEntry);
    ASSERT_FALSE(parsed.summary.value().warnings.empty());
    EXPECT_NE(parsed.summary.value().warnings[0].find("copy at byte 2098176"), std::string::npos)
        << parsed.summary.value().warnings[0];
}

TEST(ExtDamagedVolume, BlockNumbersPastTheVolumeBecomeZerosAndAReportedFailure) {
    const uint32_t number = inodeOf("ext2", "medium.txt");
    ASSERT_NE(number, 0u);
    Volume v("ext2");
    putLe32(v.bytes, v.inodeOffset(number) + 40 + 4, 0x7FFFFFFF);  // the second direct block
    auto parsed = v.parse();
    ASSERT_TRUE(parsed.summary.ok());
    uint64_t written = 0;
    Status status = extractQuietly(*parsed.parser, find(*parsed.parser, "medium.txt"), written);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::Corrupt);
    EXPECT_NE(status.error().message.find("past the volume"), std::string::npos);
    EXPECT_EQ(written, 3000u * 21);  // the file keeps its length
}

TEST(ExtDamagedVolume, ARepeatedIndexBlockStopsTheWalk) {
    const uint32_t number = inodeOf("ext4-1k", "fragmented.txt");
    ASSERT_NE(number, 0u);
    Volume v("ext4-1k");
    const size_t root = v.inodeOffset(number) + 40;
    ASSERT_EQ(v.bytes[root + 6], 2);  // depth 2 at the root
    // The one index block below the root: make its second entry point at its first one's
    // leaf, and its first entry point back at itself.
    const uint64_t index = le32At(v.bytes, root + 12 + 4);
    const size_t node = index * v.sb.blockSize;
    putLe32(v.bytes, node + 12 + 12 + 4, le32At(v.bytes, node + 12 + 4));
    auto parsed = v.parse();
    ASSERT_TRUE(parsed.summary.ok());
    uint64_t written = 0;
    Status status = extractQuietly(*parsed.parser, find(*parsed.parser, "fragmented.txt"), written);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().message.find("used twice"), std::string::npos)
        << status.error().message;
    EXPECT_EQ(written, 556500u);
}

TEST(ExtDamagedVolume, AFolderLoopIsShownOnce) {
    const uint32_t deep = inodeOf("ext4", "deep/a/b/c/d");
    ASSERT_NE(deep, 0u);
    Volume v("ext4");
    auto parsed = v.parse();
    // Point the record of "bottom.txt" in the deepest folder at the root folder's inode.
    Volume broken("ext4");
    bool patched = false;
    for (size_t at = 0; at + 24 <= broken.bytes.size() && !patched; at += 4)
        if (std::memcmp(broken.bytes.data() + at + 8, "bottom.txt", 10) == 0 &&
            broken.bytes[at + 6] == 10) {
            putLe32(broken.bytes, at, 2);
            broken.bytes[at + 7] = 2;
            patched = true;
        }
    ASSERT_TRUE(patched);
    auto looped = broken.parse();
    ASSERT_TRUE(looped.summary.ok());
    const fs::EntryId loop = find(*looped.parser, "deep/a/b/c/d/bottom.txt");
    ASSERT_NE(loop, fs::kNoEntry);
    EXPECT_TRUE(looped.parser->isFolder(loop));
    EXPECT_TRUE(looped.parser->children(loop).empty());
}

// Random bytes over each fixture's metadata: the parse and every extraction end, and the
// sanitizers see no bad access.
TEST(ExtDamagedVolume, RandomDamageToMetadataEndsCleanly) {
    std::mt19937 random(1234);
    for (const char* name : {"ext4", "ext4-1k", "ext4-inline", "ext2"}) {
        const Volume clean(name);
        const size_t metadataEnd = std::min<size_t>(clean.bytes.size(), 400 * 1024);
        for (int round = 0; round < 6; ++round) {
            SCOPED_TRACE(std::string(name) + " round " + std::to_string(round));
            Volume v = clean;
            for (int hit = 0; hit < 64; ++hit)
                v.bytes[1024 + random() % (metadataEnd - 1024)] = static_cast<uint8_t>(random());
            auto parsed = v.parse();
            if (!parsed.summary.ok()) continue;
            for (fs::EntryId id = 0; id < parsed.parser->entryCount(); ++id) {
                if (parsed.parser->isFolder(id)) continue;
                uint64_t written = 0;
                (void)extractQuietly(*parsed.parser, id, written);
                EXPECT_LE(written, 2 * clean.bytes.size());
            }
        }
    }
}

}  // namespace
}  // namespace prendle
