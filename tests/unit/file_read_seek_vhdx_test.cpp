#include "disk/file_read_seek_vhdx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "common/byte_reader.h"
#include "disk/session.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

std::string unpackFixture(const test::TempFolder& folder, const std::string& name) {
    std::string path = test::unpackContainerFixture(folder, name);
    EXPECT_FALSE(path.empty()) << name;
    return path;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    test::writeWholeFile(path, bytes);
}

// Where a metadata item of the given GUID (in file byte order) starts in the file.
size_t metadataItem(const Bytes& file, const VhdxGuid& guid) {
    for (size_t region = 0; region + 32 <= file.size(); region += 64 * 1024) {
        if (std::memcmp(file.data() + region, "metadata", 8) != 0) continue;
        for (size_t entry = region + 32; entry + 32 <= region + 64 * 1024; entry += 32)
            if (std::equal(guid.begin(), guid.end(), file.begin() + entry))
                return region + le32At(file, entry + 16);
    }
    ADD_FAILURE() << "no metadata item";
    return 0;
}

constexpr VhdxGuid kFileParameters = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                      0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr VhdxGuid kVirtualSize = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                   0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};
constexpr VhdxGuid kLogicalSector = {0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47,
                                     0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};

class VhdxReader : public testing::Test {
protected:
};

TEST(VhdxChecksum, IsCrc32c) {
    const char* text = "123456789";
    EXPECT_EQ(crc32c(std::span(reinterpret_cast<const uint8_t*>(text), 9)), 0xE3069283u);
}

TEST_F(VhdxReader, ALogThatIsNotEmptyIsReportedAndNotReplayed) {
    test::TempFolder folder;
    FileReadSeekVhdx plain, pending;
    ASSERT_TRUE(plain.open(unpackFixture(folder, "vhdx-dynamic.vhdx"))) << plain.lastError();
    ASSERT_TRUE(pending.open(unpackFixture(folder, "vhdx-logpending.vhdx"))) << pending.lastError();
    EXPECT_FALSE(plain.logPending());
    EXPECT_TRUE(pending.logPending());
    bool reported = false;
    for (const auto& [key, value] : pending.info().details)
        reported = reported || (key == "log" && value.find("not replayed") != std::string::npos);
    EXPECT_TRUE(reported);
    Bytes a(4 << 20), b(4 << 20);
    ASSERT_TRUE(plain.readAt(0, a));
    ASSERT_TRUE(pending.readAt(0, b));
    EXPECT_EQ(a, b);
}

TEST_F(VhdxReader, ADifferencingImageWithoutItsParentNamesIt) {
    test::TempFolder folder;
    FileReadSeekVhdx reader;
    EXPECT_FALSE(reader.open(unpackFixture(folder, "vhdx-differencing.vhdx")));
    EXPECT_NE(reader.userMessage().find("vhdx-dynamic.vhdx"), std::string::npos)
        << reader.userMessage();
    unpackFixture(folder, "vhdx-dynamic.vhdx");
    ASSERT_TRUE(reader.open(folder.path() + "/vhdx-differencing.vhdx")) << reader.lastError();
    EXPECT_EQ(reader.info().kind, "VHDX (differencing)");
}

struct DamageCase {
    const char* name;
    std::function<void(Bytes&)> change;
    const char* errorFragment;
};

class VhdxDamagedImage : public VhdxReader, public testing::WithParamInterface<DamageCase> {};

TEST_P(VhdxDamagedImage, IsRejectedWithAClearMessage) {
    test::TempFolder folder;
    const std::string path = unpackFixture(folder, "vhdx-dynamic.vhdx");
    Bytes file = test::readWholeFile(path);
    GetParam().change(file);
    writeFile(path, file);
    FileReadSeekVhdx reader;
    EXPECT_FALSE(reader.open(path));
    EXPECT_NE(reader.lastError().find(GetParam().errorFragment), std::string::npos)
        << reader.lastError();
    EXPECT_EQ(reader.mappedBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VhdxDamagedImage,
    testing::Values(
        DamageCase{"BothHeadersBroken",
                   [](Bytes& f) {
                       f[64 * 1024 + 20] ^= 1;
                       f[128 * 1024 + 20] ^= 1;
                   },
                   "neither header"},
        DamageCase{"BothRegionTablesBroken",
                   [](Bytes& f) {
                       f[192 * 1024 + 40] ^= 1;
                       f[256 * 1024 + 40] ^= 1;
                   },
                   "region table"},
        DamageCase{"BlockSizeNotAPowerOfTwo",
                   [](Bytes& f) { test::putLe32(f, metadataItem(f, kFileParameters), 3 << 20); },
                   "block size 3145728"},
        DamageCase{"DiskLargerThanTheFormatAllows",
                   [](Bytes& f) { test::putLe64(f, metadataItem(f, kVirtualSize), 1ull << 50); },
                   "64 TiB"},
        DamageCase{"OddLogicalSectorSize",
                   [](Bytes& f) { test::putLe32(f, metadataItem(f, kLogicalSector), 1000); },
                   "logical sector size 1000"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(VhdxReader, ABlockOffsetPastTheEndOfTheFileFailsTheRead) {
    test::TempFolder folder;
    const std::string path = unpackFixture(folder, "vhdx-dynamic.vhdx");
    Bytes file = test::readWholeFile(path);
    // qemu-img puts the BAT at 2 MiB; the first entry moves its block to 2^40 MiB.
    test::putLe64(file, 2 << 20, (uint64_t{1} << 40) << 20 | 6);
    writeFile(path, file);
    FileReadSeekVhdx reader;
    ASSERT_TRUE(reader.open(path)) << reader.lastError();
    Bytes out(4096, 0xCC);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_NE(reader.lastError().find("past the end"), std::string::npos) << reader.lastError();
    EXPECT_EQ(out, Bytes(4096, 0));
}

}  // namespace
}  // namespace prendle
