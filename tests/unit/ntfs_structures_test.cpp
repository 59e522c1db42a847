// NTFS structures on hand-made bytes: run lists, LZNT1 chunks, fixups and attributes.
#include "fs/ntfs/ntfs_structures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "support/image_builder.h"

namespace prendle::ntfs_format {
namespace {

using test::Bytes;

struct RunListCase {
    const char* name;
    Bytes bytes;
    uint64_t clusterLimit;
    std::vector<DataRun> runs;  // expected when errorFragment is empty
    const char* errorFragment;
};

class RunLists : public testing::TestWithParam<RunListCase> {};

TEST_P(RunLists, DecodeAsExpected) {
    const auto& c = GetParam();
    auto runs = decodeRunList(c.bytes, c.clusterLimit, 100000);
    if (c.errorFragment[0] != '\0') {
        ASSERT_FALSE(runs.ok());
        EXPECT_EQ(runs.error().kind, ErrorKind::Corrupt);
        EXPECT_NE(runs.error().message.find(c.errorFragment), std::string::npos)
            << runs.error().message;
        return;
    }
    ASSERT_TRUE(runs.ok()) << runs.error().message;
    EXPECT_TRUE(runs.value() == c.runs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunLists,
    testing::Values(
        RunListCase{"OneRun", {0x21, 0x10, 0x00, 0x01, 0x00}, 100, {{false, 256, 16}}, ""},
        RunListCase{"SparseRunHasNoPlace", {0x01, 0x05, 0x00}, 100, {{true, 0, 5}}, ""},
        RunListCase{"ThreeByteAllOnesDeltaStepsBackOne",
                    {0x31, 0x02, 0x00, 0x01, 0x00, 0x31, 0x01, 0xFF, 0xFF, 0xFF, 0x00},
                    100,
                    {{false, 256, 2}, {false, 255, 1}},
                    ""},
        RunListCase{"ZeroHeaderEndsTheList", {0x00, 0x21, 0x10, 0x00, 0x01}, 100, {}, ""},
        RunListCase{"RunPastTheLastVcnIsDropped",
                    {0x11, 0x04, 0x10, 0x11, 0x04, 0x10, 0x00},
                    6,
                    {{false, 16, 4}},
                    ""},
        RunListCase{
            "ClusterNumbersBeyond32Bits", {0x11, 0x01, 0x01, 0x00}, 100, {{false, 1, 1}}, ""},
        RunListCase{
            "NibbleAboveEight", {0x91, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 100, {}, "runs past"},
        RunListCase{"ZeroLengthRun", {0x11, 0x00, 0x05, 0x00}, 100, {}, "zero clusters"},
        RunListCase{"FieldCutShort", {0x33, 0x01}, 100, {}, "runs past"},
        RunListCase{"ClusterBelowZero", {0x11, 0x01, 0xFF, 0x00}, 100, {}, "below zero"},
        RunListCase{
            "RunOutsideTheVolume", {0x31, 0x01, 0xA0, 0x86, 0x01, 0x00}, 100, {}, "outside"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(RunListsWide, A64BitClusterNumberIsKept) {
    // Offset field of 5 bytes: cluster 2^32 + 1 on a volume large enough for it.
    Bytes bytes{0x51, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00};
    auto runs = decodeRunList(bytes, 10, uint64_t{1} << 40);
    ASSERT_TRUE(runs.ok());
    ASSERT_EQ(runs.value().size(), 1u);
    EXPECT_EQ(runs.value()[0].lcn, (uint64_t{1} << 32) + 1);
}

Bytes chunk(uint16_t header, const Bytes& body) {
    Bytes out{static_cast<uint8_t>(header & 0xFF), static_cast<uint8_t>(header >> 8)};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST(Lznt1, LiteralsAndOverlappingBackReferences) {
    // "abc" as literals, then a back-reference 3 back for 9 bytes: "abcabcabcabc".
    const uint16_t token = (2 << 12) | (9 - 3);
    Bytes body{
        0x08, 'a', 'b', 'c', static_cast<uint8_t>(token & 0xFF), static_cast<uint8_t>(token >> 8)};
    Bytes input = chunk(static_cast<uint16_t>(0xB000 | (body.size() + 2 - 3)), body);
    Bytes output(64, 0xEE);
    auto result = lznt1Decompress(input, output);
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(std::string(output.begin(), output.begin() + static_cast<long>(result.produced)),
              "abcabcabcabc");
}

TEST(Lznt1, ARawChunkIsCopied) {
    Bytes body(4096);
    std::iota(body.begin(), body.end(), 0);
    Bytes input = chunk(0x3FFF, body);
    Bytes output(8192);
    auto result = lznt1Decompress(input, output);
    EXPECT_EQ(result.produced, 4096u);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), output.begin()));
}

TEST(Lznt1, DamageKeepsWhatWasProducedAndNeverOverruns) {
    Bytes body{0x00, 'x', 'y', 'z', 'w', 'v', 'u', 't', 's'};
    Bytes input = chunk(static_cast<uint16_t>(0xB000 | (body.size() + 2 - 3)), body);
    Bytes cut(input.begin(), input.end() - 3);
    Bytes output(64);
    auto truncated = lznt1Decompress(cut, output);
    EXPECT_FALSE(truncated.complete);

    Bytes small(3);
    EXPECT_EQ(lznt1Decompress(input, small).produced, 3u);

    // A back-reference before any output is damage.
    Bytes early = chunk(0xB002, {0x01, 0x00, 0x10});
    EXPECT_FALSE(lznt1Decompress(early, output).complete);
}

TEST(Records, FixupsRestoreTheSectorEnds) {
    Bytes record(1024, 0);
    test::putLe32(record, 0, kFileSignature);
    test::putLe16(record, 4, 48);
    test::putLe16(record, 6, 3);
    test::putLe16(record, 48, 0x1234);  // the sequence number
    test::putLe16(record, 50, 0xAAAA);
    test::putLe16(record, 52, 0xBBBB);
    test::putLe16(record, 510, 0x1234);
    test::putLe16(record, 1022, 0x1234);
    applyFixups(record, decodeRecordHeader(record));
    EXPECT_EQ(record[510], 0xAA);
    EXPECT_EQ(record[1023], 0xBB);

    // A count that would reach past the record changes nothing beyond it.
    test::putLe16(record, 6, 0xFFFF);
    test::putLe16(record, 4, 1020);
    applyFixups(record, decodeRecordHeader(record));
    SUCCEED();
}

TEST(Records, AttributesThatRunOffTheRecordEndTheWalk) {
    Bytes record(1024, 0);
    test::putLe32(record, 0, kFileSignature);
    test::putLe16(record, 20, 56);
    // A resident attribute of 24 bytes, then one whose length runs past the end.
    test::putLe32(record, 56, kStandardInformation);
    test::putLe32(record, 60, 24);
    test::putLe32(record, 56 + 16, 100);  // content length beyond the attribute
    test::putLe32(record, 80, kFileName);
    test::putLe32(record, 84, 5000);
    auto attributes = enumerateAttributes(record, decodeRecordHeader(record));
    ASSERT_EQ(attributes.size(), 1u);
    EXPECT_TRUE(residentContent(record, attributes[0]).empty());

    test::putLe32(record, 60, 8);  // shorter than any header
    EXPECT_TRUE(enumerateAttributes(record, decodeRecordHeader(record)).empty());
}

TEST(Records, FileNamesAreBoundedByTheirAttribute) {
    Bytes content(66 + 6, 0);
    test::putLe64(content, 0, (uint64_t{7} << 48) | 5);
    content[64] = 3;
    content[66] = 'a';
    content[68] = 'b';
    content[70] = 'c';
    auto name = decodeFileName(content);
    ASSERT_TRUE(name.ok());
    EXPECT_EQ(name.value().name, "abc");
    EXPECT_EQ(name.value().parentReference & 0xFFFFFFFFFFFF, 5u);
    content[64] = 40;
    EXPECT_FALSE(decodeFileName(content).ok());
    content[64] = 0xFF;
    EXPECT_TRUE(decodeFileName(content).value().nameTooLong);
}

TEST(BootSectors, ClusterAndRecordSizes) {
    Bytes sector(512, 0);
    std::memcpy(&sector[3], "NTFS    ", 8);
    test::putLe16(sector, 11, 512);
    sector[13] = 8;
    sector[64] = 0xF6;  // 2^10 bytes
    BootSector boot = decodeBootSector(sector);
    EXPECT_EQ(clusterBytes(boot), 4096u);
    EXPECT_EQ(recordBytes(boot, 4096), 1024u);
    sector[64] = 0xF4;  // 4 KiB records
    EXPECT_EQ(recordBytes(decodeBootSector(sector), 4096), 4096u);
    sector[13] = 0xF4;  // 2^12 sectors per cluster: 2 MiB
    EXPECT_EQ(clusterBytes(decodeBootSector(sector)), 2u << 20);
    sector[13] = 3;  // not a power of two
    EXPECT_EQ(clusterBytes(decodeBootSector(sector)), 0u);
}

}  // namespace
}  // namespace prendle::ntfs_format

namespace prendle::ntfs_format {
namespace {

// A list broken part-way keeps the runs before the damage, so a file still gives back what
// can be read; the damage is reported, never silently dropped.
TEST(NtfsRunListPartially, RunsBeforeTheDamageAreKept) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t runsKept;
        const char* damage;  // fragment; empty: none
    };
    // 0x21: one length byte, two offset bytes. 4 clusters at 0x100, then the damage.
    const Case cases[] = {
        {"zero-length second run", {0x21, 4, 0x00, 0x01, 0x21, 0, 0x10, 0x00, 0}, 1, "zero"},
        {"second run past the volume", {0x21, 4, 0x00, 0x01, 0x21, 4, 0xFF, 0x7F, 0}, 1, "outside"},
        {"header past the end", {0x21, 4, 0x00, 0x01, 0x31, 4, 0x01}, 1, "runs past"},
        {"whole list", {0x21, 4, 0x00, 0x01, 0x21, 2, 0x10, 0x00, 0}, 2, ""},
    };
    for (const Case& c : cases) {
        PartialRunList list = decodeRunListPartially(c.bytes, 100, 1000);
        EXPECT_EQ(list.runs.size(), c.runsKept) << c.name;
        ASSERT_FALSE(list.runs.empty()) << c.name;
        EXPECT_EQ(list.runs[0].lcn, 0x100u) << c.name;
        if (c.damage[0] == '\0') {
            EXPECT_FALSE(list.damage) << c.name;
        } else {
            ASSERT_TRUE(list.damage) << c.name;
            EXPECT_NE(list.damage->message.find(c.damage), std::string::npos) << c.name;
            EXPECT_FALSE(decodeRunList(c.bytes, 100, 1000).ok()) << c.name;
        }
    }
}

}  // namespace
}  // namespace prendle::ntfs_format
