// The reading model every reader shares: zeros for unstored blocks, positions checked
// against the disk, readerOrigin, and reads split at block boundaries.
#include <gtest/gtest.h>

#include <thread>

#include "disk/file_read_seek_flat.h"
#include "disk/file_read_seek_vdi.h"
#include "disk/image_kind.h"
#include "disk/session.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

class ReadingModel : public testing::Test {
protected:
};

TEST_F(ReadingModel, ReadsSpanningStoredAndUnstoredBlocksMatchTheFlatDisk) {
    auto image = test::buildVdi(4096, {true, false, true, true, false, true});
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    // Odd starts and lengths that cross every kind of boundary.
    for (uint64_t start : {0ull, 511ull, 4000ull, 4096ull, 8191ull, 12345ull}) {
        for (size_t length : {1ul, 512ul, 700ul, 4096ul, 9000ul}) {
            if (start + length > image.disk.size()) continue;
            Bytes out(length, 0xCC);
            ASSERT_TRUE(reader.readAt(start, out)) << start << "+" << length;
            ASSERT_TRUE(std::equal(out.begin(), out.end(), image.disk.begin() + start))
                << start << "+" << length;
        }
    }
}

TEST_F(ReadingModel, SeekAndReadFollowTheLogicalPosition) {
    auto image = test::buildVdi(4096, {false, true});
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path()));
    ASSERT_TRUE(reader.seek(4096 - 512));
    EXPECT_FALSE(reader.blockAllocated);
    Bytes out(1024);
    ASSERT_TRUE(reader.read(out.data(), 1024));
    EXPECT_TRUE(std::equal(out.begin(), out.end(), image.disk.begin() + 4096 - 512));
    EXPECT_EQ(reader.logicalPosition(), 4096u + 512u);
    EXPECT_TRUE(reader.blockAllocated);
}

TEST_F(ReadingModel, TheLastSectorOfADiskEndingOnABlockBoundaryReadsSuccessfully) {
    auto image = test::buildVdi(4096, {true, true});
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path()));
    ASSERT_TRUE(reader.seek(8192 - 512));
    Bytes out(512);
    EXPECT_TRUE(reader.read(out.data(), 512));
    EXPECT_EQ(out, test::sectorPattern(15));
}

TEST_F(ReadingModel, AReadAfterAFailedSeekGivesZerosAndFails) {
    auto image = test::buildVdi(4096, {true, true});
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path()));
    Bytes out(512);
    ASSERT_TRUE(reader.read(out.data(), 512));
    EXPECT_FALSE(reader.seek(8192));
    Bytes after(512, 0xCC);
    EXPECT_FALSE(reader.read(after.data(), 512));
    EXPECT_EQ(after, Bytes(512, 0));
    EXPECT_NE(reader.lastError().find("past the end of the 8192-byte disk"), std::string::npos);
}

TEST_F(ReadingModel, AReadRunningPastTheEndKeepsTheBytesInsideAndFails) {
    auto image = test::buildVdi(4096, {true, true});
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path()));
    Bytes out(1024, 0xCC);
    EXPECT_FALSE(reader.readAt(8192 - 512, out));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 512, image.disk.end() - 512));
    EXPECT_EQ(Bytes(out.begin() + 512, out.end()), Bytes(512, 0));
}

TEST_F(ReadingModel, ReaderOriginShiftsEveryPosition) {
    auto image = test::buildVdi(4096, {true, true});
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path()));
    reader.readerOrigin = 9 * 512;
    ASSERT_TRUE(reader.seek(0));
    Bytes out(512);
    ASSERT_TRUE(reader.read(out.data(), 512));
    EXPECT_EQ(out, test::sectorPattern(9));
    EXPECT_FALSE(reader.seek(8192 - 9 * 512));
    EXPECT_FALSE(reader.seek(UINT64_MAX));
}

TEST_F(ReadingModel, DetectsEachContainerByItsContents) {
    struct Case {
        const char* name;
        Bytes bytes;
        ImageKind kind;
    };
    const Case cases[] = {
        {"vdi", test::buildVdi(4096, {true}).file, ImageKind::Vdi},
        {"vhd dynamic", test::buildDynamicVhd(4096, {true}).file, ImageKind::Vhd},
        {"vhd fixed", test::buildFixedVhd(4096).file, ImageKind::Vhd},
        {"vmdk", test::buildSparseVmdk({8, 4, {2}, {}}).file, ImageKind::Vmdk},
        {"flat", Bytes(2048, 0x11), ImageKind::Flat},
        {"tiny", Bytes(3, 0), ImageKind::Flat},
    };
    for (const auto& c : cases) {
        test::TempFile file(c.bytes, ".bin");
        auto kind = detectImageKind(file.path());
        ASSERT_TRUE(kind.ok()) << c.name;
        EXPECT_EQ(kind.value(), c.kind) << c.name;
    }
}

TEST_F(ReadingModel, FlatImagesAreTheirOwnDisk) {
    Bytes bytes(3 * 512 + 100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 3);
    test::TempFile file(bytes, ".raw");
    FileReadSeekFlat reader;
    ASSERT_TRUE(reader.open(file.path()));
    EXPECT_EQ(reader.totalSectors(), 3u);
    Bytes out(100);
    ASSERT_TRUE(reader.readAt(3 * 512, out));
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 3 * 512));
}

TEST_F(ReadingModel, TwoThreadsReadTheSameReaderAtOnce) {
    auto image = test::buildVdi(4096, {true, false, true, true, true, false, true, true});
    test::TempFile file(image.file, ".vdi");
    FileReadSeekVdi reader;
    ASSERT_TRUE(reader.open(file.path()));
    auto work = [&](uint64_t offset, bool* ok) {
        Bytes out(1536);
        *ok = true;
        for (int round = 0; round < 200; ++round) {
            uint64_t start = (offset + round * 1024) % (image.disk.size() - out.size());
            *ok = *ok && reader.readAt(start, out) &&
                  std::equal(out.begin(), out.end(), image.disk.begin() + start);
        }
    };
    bool first = false, second = false;
    std::thread a(work, 0, &first), b(work, 777, &second);
    a.join();
    b.join();
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
}

}  // namespace
}  // namespace prendle
