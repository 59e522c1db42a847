#include "disk/file_read_seek_vhd.h"

#include <gtest/gtest.h>

#include "disk/session.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

class VhdReader : public testing::Test {
protected:
};

TEST_F(VhdReader, ReadsDynamicImagesOfSeveralBlockSizes) {
    // 2 MiB is the usual block; 512 KiB needs a one-sector bitmap, 8 MiB a four-sector one.
    for (uint32_t blockBytes : {2u << 20, 512u << 10, 8u << 20}) {
        auto image = test::buildDynamicVhd(blockBytes, {false, true, true, false});
        test::TempFile file(image.file, ".vhd");
        FileReadSeekVHD reader;
        ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
        EXPECT_EQ(reader.totalSectors(), image.disk.size() / 512);
        Bytes out(image.disk.size());
        ASSERT_TRUE(reader.readAt(0, out)) << blockBytes;
        EXPECT_EQ(out, image.disk) << blockBytes;
    }
}

TEST_F(VhdReader, ReadsFixedImagesWhoseOnlyFooterIsAtTheEnd) {
    auto image = test::buildFixedVhd(64 * 512);
    test::TempFile file(image.file, ".vhd");
    FileReadSeekVHD reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_TRUE(reader.isFixed());
    EXPECT_EQ(reader.totalSectors(), 64u);
    Bytes out(image.disk.size());
    ASSERT_TRUE(reader.readAt(0, out));
    EXPECT_EQ(out, image.disk);
    Bytes past(512);
    EXPECT_FALSE(reader.readAt(image.disk.size(), past));
}

TEST_F(VhdReader, TheExtensionIsCheckedIgnoringCase) {
    auto image = test::buildDynamicVhd(512 << 10, {true});
    test::TempFile upper(image.file, ".VHD");
    FileReadSeekVHD reader;
    EXPECT_TRUE(reader.open(upper.path()));
    test::TempFile other(image.file, ".img");
    EXPECT_FALSE(reader.open(other.path()));
    EXPECT_EQ(reader.userMessage(), "not a vhd file");
    FileReadSeekVHD byContent(/*checkExtension=*/false);
    EXPECT_TRUE(byContent.open(other.path()));
}

TEST_F(VhdReader, ATableOutsideTheFileIsRejected) {
    auto image = test::buildDynamicVhd(512 << 10, {true, true});
    test::putBe64(image.file, test::kVhdDynamicHeaderOffset + 16, image.file.size() - 4);
    test::TempFile file(image.file, ".vhd");
    FileReadSeekVHD reader;
    EXPECT_FALSE(reader.open(file.path()));
    EXPECT_NE(reader.lastError().find("runs past the end"), std::string::npos);
}

// A damaged entry count (here 2^30, a 4 GiB table) sizes nothing: entries past the disk
// size the footer gives are never read or kept.
TEST_F(VhdReader, TheTableIsBoundedByTheDiskSize) {
    auto image = test::buildDynamicVhd(512 << 10, {true, true});
    test::putBe32(image.file, test::kVhdDynamicHeaderOffset + 28, 0x40000000);
    test::TempFile file(image.file, ".vhd");
    FileReadSeekVHD reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.mappedBytes(), image.disk.size());
    Bytes out(image.disk.size());
    ASSERT_TRUE(reader.readAt(0, out));
    EXPECT_EQ(out, image.disk);
}

TEST_F(VhdReader, ATableOffsetFromTheHeaderIsFollowed) {
    auto image = test::buildDynamicVhd(512 << 10, {true, false, true});
    // Move the table one sector further and say so in the header.
    Bytes table(image.file.begin() + test::kVhdTableOffset,
                image.file.begin() + test::kVhdTableOffset + 512);
    std::fill(image.file.begin() + test::kVhdTableOffset,
              image.file.begin() + test::kVhdTableOffset + 512, 0xFF);
    image.file.insert(image.file.end(), table.begin(), table.end());
    test::putBe64(image.file, test::kVhdDynamicHeaderOffset + 16, image.file.size() - 512);
    test::TempFile file(image.file, ".vhd");
    FileReadSeekVHD reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    Bytes out(image.disk.size());
    ASSERT_TRUE(reader.readAt(0, out));
    EXPECT_EQ(out, image.disk);
}

TEST_F(VhdReader, ADifferencingImageThatNamesNoParentIsRefused) {
    auto image = test::buildDynamicVhd(512 << 10, {true});
    test::putBe32(image.file, 60, 4);
    test::TempFile file(image.file, ".vhd");
    FileReadSeekVHD reader;
    EXPECT_FALSE(reader.open(file.path()));
    EXPECT_NE(reader.lastError().find("parent"), std::string::npos);
    EXPECT_NE(reader.userMessage().find("does not say where its parent is"), std::string::npos);
}

TEST_F(VhdReader, ABlockStoredPastTheEndOfTheFileFailsTheRead) {
    auto image = test::buildDynamicVhd(512 << 10, {true, true});
    test::putBe32(image.file, test::kVhdTableOffset + 4, 0x7FFFFFF0);
    test::TempFile file(image.file, ".vhd");
    FileReadSeekVHD reader;
    ASSERT_TRUE(reader.open(file.path()));
    Bytes out(image.disk.size(), 0xCC);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + (512 << 10), image.disk.begin()));
}

}  // namespace
}  // namespace prendle
