#include "disk/file_read_seek_vmdk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "disk/session.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

class VmdkReader : public testing::Test {
protected:
};

TEST_F(VmdkReader, ReadsStoredGrainsZeroGrainsAndMissingTables) {
    // Table 1 (grains 4..7) is absent from the directory; grain 2 is a zero grain.
    test::VmdkLayout layout{8, 4, {2, 0, 1, 2, 0, 0, 0, 0, 2, 2, 0}, {}};
    auto image = test::buildSparseVmdk(layout);
    test::TempFile file(image.file, ".vmdk");
    FileReadSeekVmdk reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.totalSectors(), 88u);
    EXPECT_EQ(reader.descriptor().createType, "monolithicSparse");
    EXPECT_EQ(reader.descriptor().cylinders, "20");
    Bytes out(image.disk.size());
    ASSERT_TRUE(reader.readAt(0, out));
    EXPECT_EQ(out, image.disk);
    EXPECT_EQ(reader.info().allocatedBlocks, 4u);
}

TEST_F(VmdkReader, TheDiskSizeIsTheSumOfTheExtentsWhateverTheirCase) {
    test::VmdkLayout layout{8, 4, {2, 2}, "RW 16 sparse \"a.vmdk\"\nRW 100 FLAT \"b.vmdk\" 0\n"};
    auto image = test::buildSparseVmdk(layout);
    test::TempFile file(image.file, ".vmdk");
    FileReadSeekVmdk reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.totalSectors(), 116u);
    ASSERT_EQ(reader.descriptor().extents.size(), 2u);
    EXPECT_EQ(reader.descriptor().extents[1].fileName, "b.vmdk");
    // Beyond the sparse grains the declared disk reads as zeros.
    Bytes out(512, 0xCC);
    ASSERT_TRUE(reader.readAt(100 * 512, out));
    EXPECT_EQ(out, Bytes(512, 0));
}

TEST(VmdkDescriptor, ParsesTheKeysAndStopsAtALineWithoutAName) {
    auto parsed = parseVmdkDescriptor(
        "version=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n"
        "# Extent description\nRW 4192256 SPARSE \"a-s001.vmdk\"\nRW 2048 SPARSE \"a-s002.vmdk\"\n"
        "RW 99 SPARSE noquote\nRW 5 SPARSE \"late.vmdk\"\n# The Disk Data Base\n");
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value().version, "1");
    EXPECT_EQ(parsed.value().cid, "fffffffe");
    EXPECT_EQ(parsed.value().createType, "twoGbMaxExtentSparse");
    ASSERT_EQ(parsed.value().extents.size(), 2u);
    EXPECT_EQ(parsed.value().extents[0].sectors, 4192256u);

    EXPECT_FALSE(parseVmdkDescriptor("version=1\nCID=1\nparentCID=2\n").ok());
    EXPECT_FALSE(parseVmdkDescriptor("createType=\"x\"").ok());
}

struct HeaderCase {
    const char* name;
    std::function<void(Bytes&)> change;
    const char* errorFragment;
};

class VmdkHostileHeader : public VmdkReader, public testing::WithParamInterface<HeaderCase> {};

TEST_P(VmdkHostileHeader, IsRejectedWithAClearMessage) {
    auto image = test::buildSparseVmdk({8, 4, {2, 0, 2}, {}});
    GetParam().change(image.file);
    test::TempFile file(image.file, ".vmdk");
    FileReadSeekVmdk reader;
    EXPECT_FALSE(reader.open(file.path()));
    EXPECT_NE(reader.lastError().find(GetParam().errorFragment), std::string::npos)
        << reader.lastError();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VmdkHostileHeader,
    testing::Values(
        HeaderCase{"NoSparseMagic", [](Bytes& f) { f[0] = 'X'; }, "no sparse extent header"},
        HeaderCase{"GrainSizeZero", [](Bytes& f) { test::putLe64(f, 20, 0); }, "grain size"},
        HeaderCase{"HugeGrainTables", [](Bytes& f) { test::putLe32(f, 44, 0x10000000); },
                   "entries per grain table"},
        // A capacity would size a directory and its table cache of gigabytes.
        HeaderCase{"HugeCapacity", [](Bytes& f) { test::putLe64(f, 12, 1ull << 60); },
                   "grain directory entries, limit 4194304"},
        HeaderCase{"DirectoryBeyondTheFile", [](Bytes& f) { test::putLe64(f, 48, 1ull << 40); },
                   "runs past the end"},
        HeaderCase{"Compressed", [](Bytes& f) { test::putLe16(f, 77, 1); }, "stream-optimized"},
        HeaderCase{"NoCreateType",
                   [](Bytes& f) {
                       std::fill(f.begin() + 512, f.begin() + 1024, 0);
                       std::memcpy(f.data() + 512, "version=1\n", 10);
                   },
                   "createType"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(VmdkReader, AGrainTablePastTheEndOfTheFileFailsTheRead) {
    auto image = test::buildSparseVmdk({8, 4, {2, 0, 0, 0, 2}, {}});
    test::putLe32(image.file, test::kVmdkDirectorySector * 512 + 4, 0x7FFFFFF0);
    test::TempFile file(image.file, ".vmdk");
    FileReadSeekVmdk reader;
    ASSERT_TRUE(reader.open(file.path()));
    Bytes out(image.disk.size(), 0xCC);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_NE(reader.lastError().find("grain table 1"), std::string::npos);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 4096, image.disk.begin()));
}

}  // namespace
}  // namespace prendle
