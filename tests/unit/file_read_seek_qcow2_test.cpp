#include "disk/file_read_seek_qcow2.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "disk/image_kind.h"
#include "disk/session.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

// A version 3 qcow2 of 512-byte clusters (64 entries per L2 table): header in cluster 0,
// L1 in cluster 1, one L2 table in cluster 2, data from cluster 3. kinds[i] says what
// disk cluster i is: 'd' stored, 'z' zero flag, 'u' unallocated, 'c' compressed (garbage).
struct Qcow2Image {
    Bytes file;
    Bytes disk;
};

constexpr uint64_t kCluster = 512;
constexpr size_t kL1Offset = 512;
constexpr size_t kL2Offset = 1024;

Qcow2Image buildQcow2(const std::string& kinds, const std::string& backing = {}) {
    Qcow2Image image;
    image.file.assign(3 * kCluster, 0);
    image.disk.assign(kinds.size() * kCluster, 0);
    Bytes& f = image.file;
    test::putBe32(f, 0, kQcow2Magic);
    test::putBe32(f, 4, 3);
    test::putBe32(f, 20, 9);
    test::putBe64(f, 24, kinds.size() * kCluster);
    test::putBe32(f, 36, 1);
    test::putBe64(f, 40, kL1Offset);
    test::putBe32(f, 96, 4);
    test::putBe32(f, 100, 104);
    if (!backing.empty()) {
        test::putBe64(f, 8, 200);
        test::putBe32(f, 16, static_cast<uint32_t>(backing.size()));
        std::memcpy(f.data() + 200, backing.data(), backing.size());
    }
    test::putBe64(f, kL1Offset, kL2Offset);
    // Stored clusters go into the file in reverse disk order.
    for (size_t i = kinds.size(); i-- > 0;) {
        uint64_t entry = 0;
        if (kinds[i] == 'd') {
            entry = f.size();
            Bytes sector = test::sectorPattern(i);
            f.insert(f.end(), sector.begin(), sector.end());
            std::copy(sector.begin(), sector.end(), image.disk.begin() + i * kCluster);
        } else if (kinds[i] == 'z') {
            entry = 1;
        } else if (kinds[i] == 'c') {
            // One sector of bytes that are no deflate stream.
            entry = (uint64_t{1} << 62) | f.size();
            f.insert(f.end(), kCluster, 0xFF);
        }
        test::putBe64(f, kL2Offset + i * 8, entry);
    }
    return image;
}

class Qcow2Reader : public testing::Test {
protected:
};

TEST_F(Qcow2Reader, ReadsStoredZeroAndUnallocatedClustersInOneCall) {
    auto image = buildQcow2("ddzuddud");
    test::TempFile file(image.file, ".qcow2");
    FileReadSeekQcow2 reader;
    ASSERT_TRUE(reader.open(file.path())) << reader.lastError();
    EXPECT_EQ(reader.totalSectors(), 8u);
    Bytes out(image.disk.size(), 0xCC);
    ASSERT_TRUE(reader.readAt(0, out)) << reader.lastError();
    EXPECT_EQ(out, image.disk);
    // A read that starts inside a cluster and ends inside another.
    Bytes middle(700);
    ASSERT_TRUE(reader.readAt(300, middle));
    EXPECT_TRUE(std::equal(middle.begin(), middle.end(), image.disk.begin() + 300));
    EXPECT_EQ(reader.info().allocatedBlocks, 5u);
    EXPECT_EQ(detectImageKind(file.path()).value(), ImageKind::Qcow2);
}

TEST_F(Qcow2Reader, ADamagedCompressedClusterFailsTheReadWithItsOffset) {
    auto image = buildQcow2("dcd");
    test::TempFile file(image.file, ".qcow2");
    FileReadSeekQcow2 reader;
    ASSERT_TRUE(reader.open(file.path()));
    Bytes out(image.disk.size(), 0xCC);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_NE(reader.lastError().find("compressed cluster"), std::string::npos)
        << reader.lastError();
    // The clusters around it still read.
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 512, image.disk.begin()));
    EXPECT_TRUE(std::equal(out.begin() + 1024, out.end(), image.disk.begin() + 1024));
}

TEST_F(Qcow2Reader, AnL2TablePastTheEndOfTheFileFailsTheRead) {
    auto image = buildQcow2("dd");
    test::putBe64(image.file, kL1Offset, 0x7FFFFE00);
    test::TempFile file(image.file, ".qcow2");
    FileReadSeekQcow2 reader;
    ASSERT_TRUE(reader.open(file.path()));
    Bytes out(1024);
    EXPECT_FALSE(reader.readAt(0, out));
    EXPECT_NE(reader.lastError().find("L2 table 0"), std::string::npos) << reader.lastError();
}

struct HeaderCase {
    const char* name;
    std::function<void(Bytes&)> change;
    const char* errorFragment;
    const char* userFragment;
};

class Qcow2HostileHeader : public Qcow2Reader, public testing::WithParamInterface<HeaderCase> {};

TEST_P(Qcow2HostileHeader, IsRejectedWithAClearMessage) {
    auto image = buildQcow2("dud");
    GetParam().change(image.file);
    test::TempFile file(image.file, ".qcow2");
    FileReadSeekQcow2 reader;
    EXPECT_FALSE(reader.open(file.path()));
    EXPECT_NE(reader.lastError().find(GetParam().errorFragment), std::string::npos)
        << reader.lastError();
    EXPECT_NE(reader.userMessage().find(GetParam().userFragment), std::string::npos)
        << reader.userMessage();
    EXPECT_EQ(reader.mappedBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Qcow2HostileHeader,
    testing::Values(
        HeaderCase{"VersionFour", [](Bytes& f) { test::putBe32(f, 4, 4); }, "version 4", "version"},
        HeaderCase{"Encrypted", [](Bytes& f) { test::putBe32(f, 32, 2); }, "encrypted",
                   "Encrypted"},
        HeaderCase{"ExternalDataFile", [](Bytes& f) { test::putBe64(f, 72, 4); },
                   "external data file", "external data file"},
        HeaderCase{"UnknownIncompatibleFeature", [](Bytes& f) { test::putBe64(f, 72, 1 << 9); },
                   "unknown incompatible", "features"},
        HeaderCase{"ClusterBitsTooLarge", [](Bytes& f) { test::putBe32(f, 20, 40); },
                   "cluster bits 40", ""},
        HeaderCase{"L1TableBeyondTheFile", [](Bytes& f) { test::putBe32(f, 36, 0x100000); },
                   "runs past the end", ""},
        HeaderCase{"L1OffsetOverflows",
                   [](Bytes& f) { test::putBe64(f, 40, 0xFFFFFFFFFFFFFF00ull); },
                   "runs past the end", ""},
        HeaderCase{"BackingNameTooLong",
                   [](Bytes& f) {
                       test::putBe64(f, 8, 200);
                       test::putBe32(f, 16, 5000);
                   },
                   "backing file name", ""},
        HeaderCase{"ZstdWithoutTheFeatureBitIsIgnoredButAnUnknownTypeIsNot",
                   [](Bytes& f) {
                       test::putBe64(f, 72, 8);
                       test::putBe32(f, 100, 112);
                       f[104] = 5;
                   },
                   "compression type 5", ""}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(Qcow2Reader, UnallocatedClustersReadFromTheBackingFileAndZerosPastItsEnd) {
    test::TempFolder folder;
    auto parent = buildQcow2("dd");
    {
        std::ofstream(folder.path() + "/base.qcow2", std::ios::binary)
            .write(reinterpret_cast<const char*>(parent.file.data()),
                   static_cast<std::streamsize>(parent.file.size()));
    }
    // The child is longer than its parent and overrides cluster 1.
    auto child = buildQcow2("uduu", "base.qcow2");
    const std::string childPath = folder.path() + "/child.qcow2";
    std::ofstream(childPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(child.file.data()),
               static_cast<std::streamsize>(child.file.size()));
    FileReadSeekQcow2 reader;
    ASSERT_TRUE(reader.open(childPath)) << reader.lastError();
    EXPECT_EQ(reader.totalSectors(), 4u);
    ASSERT_NE(reader.parentLayer(), nullptr);
    EXPECT_EQ(reader.parentLayer()->fileName(), folder.path() + "/base.qcow2");
    Bytes expected(4 * kCluster, 0);
    std::copy(parent.disk.begin(), parent.disk.begin() + 512, expected.begin());
    std::copy(child.disk.begin() + 512, child.disk.begin() + 1024, expected.begin() + 512);
    Bytes out(expected.size(), 0xCC);
    ASSERT_TRUE(reader.readAt(0, out)) << reader.lastError();
    EXPECT_EQ(out, expected);
}

TEST_F(Qcow2Reader, AMissingOrLoopingBackingFileIsNamedInTheMessage) {
    test::TempFolder folder;
    auto write = [&](const std::string& name, const std::string& backing) {
        auto image = buildQcow2("du", backing);
        std::ofstream(folder.path() + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.file.data()),
                   static_cast<std::streamsize>(image.file.size()));
    };
    write("orphan.qcow2", "gone.qcow2");
    write("a.qcow2", "b.qcow2");
    write("b.qcow2", "a.qcow2");
    write("self.qcow2", "self.qcow2");
    struct Case {
        const char* image;
        const char* fragment;
    };
    for (const Case& c : {Case{"orphan.qcow2", "parent image \"gone.qcow2\""},
                          Case{"a.qcow2", "deeper than 32 layers"},
                          Case{"self.qcow2", "parent image \"self.qcow2\""}}) {
        FileReadSeekQcow2 reader;
        EXPECT_FALSE(reader.open(folder.path() + "/" + c.image)) << c.image;
        EXPECT_NE(reader.userMessage().find(c.fragment), std::string::npos)
            << c.image << ": " << reader.userMessage();
    }
}

}  // namespace
}  // namespace prendle
