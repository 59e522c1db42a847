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
        HeaderCase{"UnknownCompression", [](Bytes& f) { test::putLe16(f, 77, 7); },
                   "compression algorithm 7"},
        HeaderCase{"DirectoryAtTheEndWithoutAFooter",
                   [](Bytes& f) { test::putLe64(f, 56, UINT64_MAX); }, "no footer header"},
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

TEST(VmdkDescriptor, ExtentLinesAreFoundWithOrWithoutTheirSectionTitle) {
    auto extents = parseVmdkExtentLines(
        "version=1\ncreateType=\"custom\"\nRW 4 FLAT \"a-flat.vmdk\" 2\n  RDONLY 8 VMFS "
        "\"b.vmdk\"\n"
        "RW 2 ZERO\n# RW 9 FLAT \"commented.vmdk\" 0\nNOACCESS 16 SPARSE \"c-s001.vmdk\"\n"
        "ddb.adapterType = \"ide\"\n");
    struct Expected {
        uint64_t sectors;
        const char* type;
        const char* fileName;
        uint64_t startSector;
    };
    const Expected expected[] = {{4, "FLAT", "a-flat.vmdk", 2},
                                 {8, "VMFS", "b.vmdk", 0},
                                 {2, "ZERO", "", 0},
                                 {16, "SPARSE", "c-s001.vmdk", 0}};
    ASSERT_EQ(extents.size(), std::size(expected));
    for (size_t i = 0; i < extents.size(); ++i) {
        EXPECT_EQ(extents[i].sectors, expected[i].sectors) << i;
        EXPECT_EQ(extents[i].type, expected[i].type) << i;
        EXPECT_EQ(extents[i].fileName, expected[i].fileName) << i;
        EXPECT_EQ(extents[i].startSector, expected[i].startSector) << i;
    }
}

TEST_F(VmdkReader, ADescriptorFileJoinsFlatVmfsAndZeroExtents) {
    test::TempFolder folder;
    Bytes flat, vmfs;
    for (uint64_t s = 0; s < 6; ++s) {
        Bytes sector = test::sectorPattern(100 + s);
        flat.insert(flat.end(), sector.begin(), sector.end());
    }
    for (uint64_t s = 0; s < 3; ++s) {
        Bytes sector = test::sectorPattern(200 + s);
        vmfs.insert(vmfs.end(), sector.begin(), sector.end());
    }
    test::writeWholeFile(folder.path() + "/d-flat.bin", flat);
    test::writeWholeFile(folder.path() + "/d-vmfs.bin", vmfs);
    const std::string text =
        "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n"
        "createType=\"vmfs\"\nRW 4 FLAT \"d-flat.bin\" 2\nRW 2 ZERO\nRW 3 VMFS \"d-vmfs.bin\"\n";
    test::writeWholeFile(folder.path() + "/d.vmdk", Bytes(text.begin(), text.end()));
    FileReadSeekVmdk reader;
    ASSERT_TRUE(reader.open(folder.path() + "/d.vmdk")) << reader.lastError();
    EXPECT_EQ(reader.totalSectors(), 9u);
    Bytes expected(flat.begin() + 1024, flat.end());
    expected.resize(expected.size() + 1024, 0);
    expected.insert(expected.end(), vmfs.begin(), vmfs.end());
    Bytes out(expected.size(), 0xCC);
    ASSERT_TRUE(reader.readAt(0, out)) << reader.lastError();
    EXPECT_EQ(out, expected);
    EXPECT_EQ(reader.info().kind, "VMDK (vmfs)");
}

TEST_F(VmdkReader, ADescriptorWithAMissingOrUnknownExtentIsRefusedNamingIt) {
    struct Case {
        const char* extentLine;
        const char* userFragment;
    };
    const Case cases[] = {
        {"RW 8 FLAT \"gone-flat.vmdk\" 0", "\"gone-flat.vmdk\" is missing"},
        {"RW 8 SPARSE \"gone-s001.vmdk\"", "\"gone-s001.vmdk\" is missing"},
        {"RW 8 VMFSSPARSE \"delta.vmdk\"", "VMFSSPARSE are not supported"},
        {"RW 8 SESPARSE \"se.vmdk\"", "SESPARSE are not supported"},
    };
    test::TempFolder folder;
    for (const auto& c : cases) {
        const std::string text = "# Disk DescriptorFile\nversion=1\ncreateType=\"x\"\n" +
                                 std::string(c.extentLine) + "\n";
        test::writeWholeFile(folder.path() + "/d.vmdk", Bytes(text.begin(), text.end()));
        FileReadSeekVmdk reader;
        EXPECT_FALSE(reader.open(folder.path() + "/d.vmdk")) << c.extentLine;
        EXPECT_NE(reader.userMessage().find(c.userFragment), std::string::npos)
            << c.extentLine << ": " << reader.userMessage();
    }
}

TEST_F(VmdkReader, ADamagedCompressedGrainFailsTheReadAndNamesTheGrain) {
    auto image = test::buildSparseVmdk({8, 4, {2, 0, 2}, {}});
    // The stored grains now claim to be compressed, behind markers.
    test::putLe32(image.file, 8, kVmdkCompressedFlag | kVmdkMarkerFlag);
    test::putLe16(image.file, 77, 1);
    test::TempFile file(image.file, ".vmdk");
    FileReadSeekVmdk reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.info().kind, "VMDK (stream-optimized)");
    Bytes out(4096, 0xCC);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_NE(reader.lastError().find("VMDK compressed grain"), std::string::npos)
        << reader.lastError();
    EXPECT_EQ(out, Bytes(4096, 0));
}

TEST_F(VmdkReader, AChildReadsUnwrittenGrainsFromItsParent) {
    test::TempFolder folder;
    test::unpackContainerFixture(folder, "vmdk-sparse.vmdk");
    const std::string child = test::unpackContainerFixture(folder, "vmdk-child.vmdk");
    FileReadSeekVmdk parent, reader;
    ASSERT_TRUE(parent.open(folder.path() + "/vmdk-sparse.vmdk"));
    ASSERT_TRUE(reader.open(child)) << reader.lastError();
    ASSERT_NE(reader.parentLayer(), nullptr);
    // The child wrote 200 KiB at 1030 KiB; around it the parent shows through.
    Bytes fromChild(2 << 20), fromParent(2 << 20);
    ASSERT_TRUE(reader.readAt(0, fromChild));
    ASSERT_TRUE(parent.readAt(0, fromParent));
    EXPECT_TRUE(std::equal(fromChild.begin(), fromChild.begin() + 1030 * 1024, fromParent.begin()));
    EXPECT_EQ(fromChild[1030 * 1024], 0x55);
    EXPECT_EQ(fromChild[1230 * 1024 - 1], 0x55);
    EXPECT_TRUE(std::equal(fromChild.begin() + 1230 * 1024, fromChild.end(),
                           fromParent.begin() + 1230 * 1024));
}

}  // namespace
}  // namespace prendle
