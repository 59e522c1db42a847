#include "disk/file_read_seek_vdi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "disk/session.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

class VdiReader : public testing::Test {
protected:
};

TEST_F(VdiReader, ReadsStoredBlocksAndZerosForUnstoredOnes) {
    auto image = test::buildVdi(1024, {true, false, true, false, true});
    // A VirtualBox discarded block reads as zeros too.
    test::putLe32(image.file, test::kVdiBlockMapOffset + 3 * 4, 0xFFFFFFFE);
    test::TempFile file(image.file, ".VDI");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.totalSectors(), 10u);
    Bytes out(image.disk.size());
    ASSERT_TRUE(reader.readAt(0, out));
    EXPECT_EQ(out, image.disk);
    EXPECT_EQ(reader.info().allocatedBlocks, 3u);
}

struct HeaderCase {
    const char* name;
    std::function<void(Bytes&)> change;
    const char* errorFragment;
};

class VdiHostileHeader : public VdiReader, public testing::WithParamInterface<HeaderCase> {};

TEST_P(VdiHostileHeader, IsRejectedWithAClearMessage) {
    auto image = test::buildVdi(1024, {true, false, true});
    GetParam().change(image.file);
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    EXPECT_FALSE(reader.open(file.path()));
    EXPECT_NE(reader.lastError().find(GetParam().errorFragment), std::string::npos)
        << reader.lastError();
    Bytes out(512, 0xCC);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_EQ(out, Bytes(512, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VdiHostileHeader,
    testing::Values(
        HeaderCase{"BlockSizeZero", [](Bytes& f) { test::putLe32(f, 0x178, 0); }, "may be 0"},
        HeaderCase{"DiskSizeZero", [](Bytes& f) { test::putLe64(f, 0x170, 0); }, "may be 0"},
        HeaderCase{"HeaderSizeZero", [](Bytes& f) { test::putLe32(f, 0x48, 0); }, "may be 0"},
        HeaderCase{"NoAllocatedBlocks", [](Bytes& f) { test::putLe32(f, 0x184, 0); }, "may be 0"},
        HeaderCase{"BlockCountBeyondTheFile", [](Bytes& f) { test::putLe32(f, 0x180, 0xFFFFFFFF); },
                   "runs past the end"},
        HeaderCase{"BlockMapOffsetBeyondTheFile",
                   [](Bytes& f) { test::putLe32(f, 0x154, 0x7FFFFFF0); }, "runs past the end"},
        HeaderCase{"FileShorterThanTheHeader", [](Bytes& f) { f.resize(300); }, "needs 472"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(VdiReader, ABlockStoredPastTheEndOfTheFileFailsTheReadWithZeros) {
    auto image = test::buildVdi(1024, {true, true});
    test::putLe32(image.file, test::kVdiBlockMapOffset + 4, 0x00FFFFFF);
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path()));
    Bytes out(2048, 0xCC);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 1024, image.disk.begin()));
    EXPECT_EQ(Bytes(out.begin() + 1024, out.end()), Bytes(1024, 0));
    EXPECT_NE(reader.lastError().find("past the end of the"), std::string::npos);
}

TEST_F(VdiReader, OverridesTypedOnTheImagePageWin) {
    auto image = test::buildVdi(1024, {true, true, true});
    test::putLe32(image.file, 0x178, 0);  // the page supplies the block size
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    reader.overrides.blockBytes = 1024;
    reader.overrides.diskBytes = 1048576;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.totalSectors(), 2048u);
    Bytes out(image.disk.size());
    ASSERT_TRUE(reader.readAt(0, out));
    EXPECT_EQ(out, image.disk);

    // A typed size below the header's never cuts the disk (sizes are typed in whole MiB).
    reader.overrides.diskBytes = 512;
    ASSERT_TRUE(reader.open(file.path()));
    EXPECT_EQ(reader.totalSectors(), 6u);

    reader.overrides.blockCount = 2;
    ASSERT_TRUE(reader.open(file.path()));
    EXPECT_EQ(reader.mapEntryCount(), 2u);
    EXPECT_EQ(reader.mappedBytes(), 2048u);
}

TEST_F(VdiReader, AMissingFileGivesTheInvalidHandleMessage) {
    FileReadSeekVdi reader;
    EXPECT_FALSE(reader.open(testing::TempDir() + "no-such-image.vdi"));
    EXPECT_EQ(reader.userMessage(), "invalid handle ...");
}

TEST_F(VdiReader, ASnapshotFindsItsParentByUuidInTheFolderAbove) {
    // VirtualBox keeps snapshots in a Snapshots folder below the base disk.
    test::TempFolder folder;
    const std::string base = test::unpackContainerFixture(folder, "vdi-dynamic.vdi");
    std::filesystem::create_directory(folder.path() + "/Snapshots");
    const std::string packed = test::unpackContainerFixture(folder, "vdi-differencing.vdi");
    const std::string child = folder.path() + "/Snapshots/{0d6b9b52}.vdi";
    std::filesystem::rename(packed, child);
    FileReadSeekVdi parent, reader;
    ASSERT_TRUE(parent.open(base));
    ASSERT_TRUE(reader.open(child)) << reader.lastError();
    EXPECT_EQ(reader.info().kind, "VDI (differencing)");
    ASSERT_NE(reader.parentLayer(), nullptr);
    EXPECT_EQ(reader.totalSectors(), 32768u);
    // Block 3 is the snapshot's own, block 7 was discarded, the rest is the parent's.
    const size_t block = 1 << 20;
    Bytes fromChild(16 * block), fromParent(16 * block);
    ASSERT_TRUE(reader.readAt(0, fromChild));
    ASSERT_TRUE(parent.readAt(0, fromParent));
    for (size_t b = 0; b < 16; ++b) {
        auto childBlock = fromChild.begin() + b * block;
        bool same = std::equal(childBlock, childBlock + block, fromParent.begin() + b * block);
        if (b == 3) {
            EXPECT_FALSE(same);
        } else if (b == 7) {
            EXPECT_TRUE(
                std::all_of(childBlock, childBlock + block, [](uint8_t v) { return v == 0; }));
        } else {
            EXPECT_TRUE(same) << b;
        }
    }
}

TEST_F(VdiReader, ASnapshotWithoutItsParentNamesTheUuid) {
    test::TempFolder folder;
    const std::string child = test::unpackContainerFixture(folder, "vdi-differencing.vdi");
    FileReadSeekVdi reader;
    EXPECT_FALSE(reader.open(child));
    EXPECT_NE(reader.userMessage().find("UUID"), std::string::npos) << reader.userMessage();
    EXPECT_NE(reader.lastError().find("missing"), std::string::npos) << reader.lastError();
}

}  // namespace
}  // namespace prendle

namespace prendle {
namespace {

// A damaged block count sizes no map beyond what the disk size implies.
TEST(VdiReaderBounds, TheBlockMapIsBoundedByTheDiskSize) {
    auto image = test::buildVdi(1024, {true, false, true});
    test::putLe32(image.file, 0x180, 1000);
    image.file.resize(std::max<size_t>(image.file.size(), 0x200 + 4000), 0);
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.mapEntryCount(), 3u);
    EXPECT_EQ(reader.mappedBytes(), 3072u);
    test::Bytes out(image.disk.size());
    ASSERT_TRUE(reader.readAt(0, out));
    EXPECT_EQ(out, image.disk);
}

}  // namespace
}  // namespace prendle
