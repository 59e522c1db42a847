// The FAT walk, tree and extraction on small volumes built by hand: one sound layout per
// width, then the slots, chains and clusters a damaged or hostile volume may hold.
#include "fs/fat/fat_file_system.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "disk/memory_sector_source.h"
#include "support/image_builder.h"

namespace prendle::fat {
namespace {

using fat_format::FatWidth;
using test::Bytes;
using test::putLe16;
using test::putLe32;

// 512-byte sectors and clusters, two FATs, 32 root slots (FAT12/16) or a root chain that
// starts at cluster 2 (FAT32). Cluster n's bytes begin with "cluster n".
class FatImage {
public:
    FatImage(FatWidth width, uint32_t clusters) : width_(width), clusters_(clusters) {
        const uint64_t entryBytes = width == FatWidth::Fat12 ? (uint64_t{clusters} + 2) * 3 / 2 + 1
                                    : width == FatWidth::Fat16 ? (uint64_t{clusters} + 2) * 2
                                                               : (uint64_t{clusters} + 2) * 4;
        sectorsPerFat_ = static_cast<uint32_t>((entryBytes + 511) / 512);
        reserved_ = width == FatWidth::Fat32 ? 4 : 1;
        rootSectors_ = width == FatWidth::Fat32 ? 0 : 2;
        const uint64_t dataSector = reserved_ + 2 * sectorsPerFat_ + rootSectors_;
        const uint64_t total = dataSector + clusters;
        disk.assign(total * 512, 0);
        disk[0] = 0xEB;
        disk[1] = 0x3C;
        std::memcpy(&disk[3], "TESTFAT ", 8);
        putLe16(disk, 11, 512);
        disk[13] = 1;
        putLe16(disk, 14, static_cast<uint16_t>(reserved_));
        disk[16] = 2;
        putLe16(disk, 17, width == FatWidth::Fat32 ? 0 : 32);
        if (width == FatWidth::Fat32) {
            putLe32(disk, 32, static_cast<uint32_t>(total));
            putLe32(disk, 36, sectorsPerFat_);
            putLe32(disk, 44, 2);
        } else {
            if (total < 65536)
                putLe16(disk, 19, static_cast<uint16_t>(total));
            else
                putLe32(disk, 32, static_cast<uint32_t>(total));
            putLe16(disk, 22, static_cast<uint16_t>(sectorsPerFat_));
        }
        disk[510] = 0x55;
        disk[511] = 0xAA;
        setFat(0, 0xFFFFFF8);
        setFat(1, 0xFFFFFFF);
        if (width == FatWidth::Fat32) setFat(2, endMark());
        for (uint32_t n = 2; n < clusters + 2; ++n) {
            const std::string label = "cluster " + std::to_string(n);
            std::memcpy(&disk[clusterOffset(n)], label.data(), label.size());
        }
        if (width == FatWidth::Fat32) std::fill_n(&disk[clusterOffset(2)], 512, uint8_t{0});
    }

    uint32_t endMark() const {
        return width_ == FatWidth::Fat12 ? 0xFFF : width_ == FatWidth::Fat16 ? 0xFFFF : 0x0FFFFFFF;
    }
    void setFat(uint32_t cluster, uint32_t value) {
        const size_t fat = size_t{reserved_} * 512;
        if (width_ == FatWidth::Fat12) {
            value &= 0xFFF;
            const size_t at = fat + cluster + cluster / 2;
            if (cluster & 1) {
                disk[at] = static_cast<uint8_t>((disk[at] & 0x0F) | ((value & 0x0F) << 4));
                disk[at + 1] = static_cast<uint8_t>(value >> 4);
            } else {
                disk[at] = static_cast<uint8_t>(value);
                disk[at + 1] = static_cast<uint8_t>((disk[at + 1] & 0xF0) | (value >> 8));
            }
        } else if (width_ == FatWidth::Fat16) {
            putLe16(disk, fat + 2 * size_t{cluster}, static_cast<uint16_t>(value));
        } else {
            putLe32(disk, fat + 4 * size_t{cluster}, value);
        }
    }
    // Links the clusters into a chain ending with the end mark.
    void chain(std::initializer_list<uint32_t> clusters) {
        const uint32_t* previous = nullptr;
        for (const uint32_t& cluster : clusters) {
            if (previous != nullptr) setFat(*previous, cluster);
            previous = &cluster;
        }
        if (previous != nullptr) setFat(*previous, endMark());
    }
    size_t clusterOffset(uint32_t n) const {
        return (size_t{reserved_} + 2 * sectorsPerFat_ + rootSectors_ + (n - 2)) * 512;
    }
    size_t rootSlot(size_t i) const {
        if (width_ == FatWidth::Fat32) return clusterOffset(2) + 32 * i;
        return (size_t{reserved_} + 2 * sectorsPerFat_) * 512 + 32 * i;
    }
    size_t slot(uint32_t cluster, size_t i) const { return clusterOffset(cluster) + 32 * i; }

    void shortSlot(size_t at, const char (&name)[12], uint8_t attributes, uint32_t cluster,
                   uint32_t size) {
        std::memset(&disk[at], 0, 32);
        std::memcpy(&disk[at], name, 11);
        disk[at + 11] = attributes;
        putLe16(disk, at + 16, 0x5821);  // 2024-01-01
        putLe16(disk, at + 20, static_cast<uint16_t>(cluster >> 16));
        putLe16(disk, at + 22, 0x6000);  // 12:00
        putLe16(disk, at + 24, 0x5821);
        putLe16(disk, at + 26, static_cast<uint16_t>(cluster));
        putLe32(disk, at + 28, size);
    }
    // A folder's first cluster with its "." and ".." slots.
    void folder(uint32_t cluster, uint32_t parent) {
        std::fill_n(&disk[clusterOffset(cluster)], 512, uint8_t{0});
        shortSlot(slot(cluster, 0), ".          ", 0x10, cluster, 0);
        shortSlot(slot(cluster, 1), "..         ", 0x10, parent, 0);
    }
    // Long-name slots for `name` ending just before the short slot at shortAt.
    void longName(size_t shortAt, const std::u16string& name, bool deleted = false,
                  int checksumDelta = 0) {
        uint8_t nameBytes[11];
        std::memcpy(nameBytes, &disk[shortAt], 11);
        uint8_t sum = fat_format::shortNameChecksum(nameBytes);
        sum = static_cast<uint8_t>(sum + checksumDelta);
        const size_t pieces = (name.size() + 12) / 13;
        static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (size_t p = 0; p < pieces; ++p) {
            const size_t at = shortAt - 32 * (p + 1);
            std::memset(&disk[at], 0, 32);
            disk[at] =
                deleted ? 0xE5 : static_cast<uint8_t>((p + 1) | (p + 1 == pieces ? 0x40 : 0));
            disk[at + 11] = 0x0F;
            disk[at + 13] = sum;
            for (size_t u = 0; u < 13; ++u) {
                const size_t index = p * 13 + u;
                uint16_t unit = index < name.size()    ? name[index]
                                : index == name.size() ? 0
                                                       : 0xFFFF;
                putLe16(disk, at + kOffsets[u], unit);
            }
        }
    }

    std::unique_ptr<FatVolume> open(const fs::OpenOptions& options = {}) {
        source_ = std::make_unique<MemorySectorSource>(disk);
        const VolumeView view = VolumeView::toDiskEnd(*source_, 0);
        if (width_ == FatWidth::Fat32) return std::make_unique<Fat32Class>(view, options);
        return std::make_unique<Fat16Class>(view, options);
    }

    Bytes disk;

private:
    FatWidth width_;
    uint32_t clusters_;
    uint32_t sectorsPerFat_ = 0, reserved_ = 0, rootSectors_ = 0;
    std::unique_ptr<MemorySectorSource> source_;
};

std::map<std::string, fs::EntryId> pathsOf(const FatVolume& volume) {
    std::map<std::string, fs::EntryId> out;
    std::vector<std::pair<fs::EntryId, std::string>> stack = {{0, ""}};
    while (!stack.empty()) {
        auto [folder, prefix] = stack.back();
        stack.pop_back();
        for (fs::EntryId child : volume.children(folder)) {
            const std::string path = prefix + "/" + std::string(volume.facts(child).name);
            out.emplace(path, child);
            if (volume.isFolder(child)) stack.push_back({child, path});
        }
    }
    return out;
}

fs::ParseSummary parseOk(FatVolume& volume) {
    Progress progress;
    auto summary = volume.parse(fs::ParseMode::Standard, progress);
    EXPECT_TRUE(summary.ok()) << summary.error().message;
    return summary.ok() ? summary.value() : fs::ParseSummary{};
}

Result<Bytes> extractBytes(FatVolume& volume, fs::EntryId id) {
    test::TempFolder folder;
    const std::string path = folder.path() + "/out";
    auto out = FileHandle::createWrite(path);
    if (!out) return out.error();
    Progress progress;
    Status status = volume.extract(id, out.value(), progress);
    out.value().close();
    if (!status) return status.error();
    return test::readWholeFile(path);
}

std::string startOf(const Bytes& bytes, size_t offset, size_t count) {
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

TEST(FatWalk, TheFirstRootSlotAndFilesOfEveryAttributeAppear) {
    FatImage image(FatWidth::Fat12, 100);
    image.shortSlot(image.rootSlot(0), "FIRST   TXT", 0x20, 0, 0);
    image.shortSlot(image.rootSlot(1), "PLAIN      ", 0x00, 0, 0);
    image.shortSlot(image.rootSlot(2), "READONLYTXT", 0x21, 0, 0);
    image.shortSlot(image.rootSlot(3), "SYSTEM  SYS", 0x27, 0, 0);
    image.shortSlot(image.rootSlot(4), "LABEL      ", 0x08, 0, 0);
    image.shortSlot(image.rootSlot(5), "ARCHDIR    ", 0x30, 10, 0);
    image.folder(10, 0);
    image.chain({10});
    image.shortSlot(image.rootSlot(6), "HIDDIR     ", 0x12, 11, 0);
    image.folder(11, 0);
    image.chain({11});
    auto volume = image.open();
    parseOk(*volume);
    auto paths = pathsOf(*volume);
    std::vector<std::string> names;
    for (const auto& [path, id] : paths) names.push_back(path);
    EXPECT_EQ(names, (std::vector<std::string>{"/ARCHDIR", "/FIRST.TXT", "/HIDDIR", "/PLAIN",
                                               "/READONLY.TXT", "/SYSTEM.SYS"}));
    EXPECT_TRUE(volume->isFolder(paths["/ARCHDIR"]));
    EXPECT_TRUE(volume->isFolder(paths["/HIDDIR"]));
    EXPECT_FALSE(volume->isFolder(paths["/SYSTEM.SYS"]));
    EXPECT_EQ(volume->topLevel().size(), 6u);
    EXPECT_EQ(volume->displayText(paths["/SYSTEM.SYS"]).attributes, "-R-H-S-A");
}

// A three-cluster file on each width, its chain out of order.
TEST(FatWalk, ChainsAreFollowedAtEveryWidth) {
    for (FatWidth width : {FatWidth::Fat12, FatWidth::Fat16, FatWidth::Fat32}) {
        SCOPED_TRACE(static_cast<int>(width));
        FatImage image(width, width == FatWidth::Fat16 ? 4100 : 100);
        image.shortSlot(image.rootSlot(0), "DATA    BIN", 0x20, 5, 1500);
        image.chain({5, 9, 6});
        // Linux ends chains with the lowest end mark.
        if (width == FatWidth::Fat16) image.setFat(6, 0xFFF8);
        if (width == FatWidth::Fat32) image.setFat(6, 0x0FFFFFF8);
        auto volume = image.open();
        parseOk(*volume);
        auto data = extractBytes(*volume, pathsOf(*volume)["/DATA.BIN"]);
        ASSERT_TRUE(data.ok()) << data.error().message;
        ASSERT_EQ(data.value().size(), 1500u);
        EXPECT_EQ(startOf(data.value(), 0, 9), "cluster 5");
        EXPECT_EQ(startOf(data.value(), 512, 9), "cluster 9");
        EXPECT_EQ(startOf(data.value(), 1024, 9), "cluster 6");
    }
}

TEST(FatWalk, TheFat32RootFollowsItsOwnClusterAndChain) {
    FatImage image(FatWidth::Fat32, 100);
    putLe32(image.disk, 44, 7);  // root at cluster 7, then 12
    image.setFat(2, 0);
    image.chain({7, 12});
    image.folder(7, 0);
    std::fill_n(&image.disk[image.clusterOffset(7)], 64, uint8_t{0});
    std::fill_n(&image.disk[image.clusterOffset(12)], 512, uint8_t{0});
    image.shortSlot(image.slot(7, 0), "ONE     TXT", 0x20, 0, 0);
    image.shortSlot(image.slot(12, 3), "TWO     TXT", 0x20, 0, 0);
    auto volume = image.open();
    parseOk(*volume);
    auto paths = pathsOf(*volume);
    EXPECT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths.count("/ONE.TXT"));
    EXPECT_TRUE(paths.count("/TWO.TXT"));
}

TEST(FatWalk, DeletedFilesTakeTheFreeClustersAfterTheirFirst) {
    FatImage image(FatWidth::Fat12, 100);
    image.shortSlot(image.rootSlot(0),
                    "\xE5"
                    "ONG    BIN",
                    0x20, 10, 1300);
    image.shortSlot(image.rootSlot(1), "LIVE    BIN", 0x20, 11, 100);
    image.chain({11});
    image.shortSlot(image.rootSlot(2),
                    "\xE5"
                    "VERWRITBIN",
                    0x20, 11, 100);
    image.shortSlot(image.rootSlot(3),
                    "\xE5"
                    "NDS    BIN",
                    0x20, 99, 2000);
    auto volume = image.open();
    parseOk(*volume);
    auto paths = pathsOf(*volume);
    ASSERT_TRUE(volume->isDeleted(paths["/_ONG.BIN"]));
    auto data = extractBytes(*volume, paths["/_ONG.BIN"]);
    ASSERT_TRUE(data.ok()) << data.error().message;
    ASSERT_EQ(data.value().size(), 1300u);
    EXPECT_EQ(startOf(data.value(), 0, 10), "cluster 10");
    EXPECT_EQ(startOf(data.value(), 512, 10), "cluster 12");  // 11 is the live file's
    EXPECT_EQ(startOf(data.value(), 1024, 10), "cluster 13");

    auto overwritten = extractBytes(*volume, paths["/_VERWRIT.BIN"]);
    ASSERT_FALSE(overwritten.ok());
    EXPECT_NE(overwritten.error().message.find("belongs to a live file"), std::string::npos);
    // Clusters 99, 100 and 101 are the volume's last and hold 1536 of its 2000 bytes.
    auto atTheEnd = extractBytes(*volume, paths["/_NDS.BIN"]);
    ASSERT_FALSE(atTheEnd.ok());
    EXPECT_NE(atTheEnd.error().message.find("1536 of its 2000 bytes"), std::string::npos);
}

TEST(FatWalk, AFormattedDriveReadsFilesAsContiguous) {
    FatImage image(FatWidth::Fat12, 100);
    image.shortSlot(image.rootSlot(0), "DATA    BIN", 0x20, 20, 1100);
    image.chain({20, 40, 60});
    auto volume = image.open(fs::OpenOptions{true});
    parseOk(*volume);
    auto data = extractBytes(*volume, pathsOf(*volume)["/DATA.BIN"]);
    ASSERT_TRUE(data.ok());
    EXPECT_EQ(startOf(data.value(), 512, 10), "cluster 21");
    EXPECT_EQ(startOf(data.value(), 1024, 10), "cluster 22");
}

TEST(FatWalk, HostileChainsAndClustersEndCleanly) {
    FatImage image(FatWidth::Fat12, 100);
    image.shortSlot(image.rootSlot(0), "LOOP    BIN", 0x20, 5, 5000);
    image.setFat(5, 6);
    image.setFat(6, 5);
    image.shortSlot(image.rootSlot(1), "FAR     BIN", 0x20, 3000, 10);
    image.shortSlot(image.rootSlot(2), "SHORT   BIN", 0x20, 7, 2000);
    image.setFat(7, 4000);  // leaves the volume after one cluster
    image.shortSlot(image.rootSlot(3), "LOOPDIR    ", 0x10, 20, 0);
    image.folder(20, 0);
    image.setFat(20, 21);
    image.setFat(21, 20);
    std::fill_n(&image.disk[image.clusterOffset(21)], 512, uint8_t{0});
    image.shortSlot(image.slot(21, 0), "INNER   TXT", 0x20, 0, 0);
    image.shortSlot(image.rootSlot(4), "FARDIR     ", 0x10, 9999, 0);
    auto volume = image.open();
    auto summary = parseOk(*volume);
    auto paths = pathsOf(*volume);
    EXPECT_TRUE(paths.count("/LOOPDIR/INNER.TXT"));
    EXPECT_EQ(paths.size(), 6u);
    EXPECT_EQ(summary.warnings.size(), 2u);

    auto loop = extractBytes(*volume, paths["/LOOP.BIN"]);
    ASSERT_FALSE(loop.ok());
    EXPECT_NE(loop.error().message.find("loops"), std::string::npos);
    auto far = extractBytes(*volume, paths["/FAR.BIN"]);
    ASSERT_FALSE(far.ok());
    EXPECT_NE(far.error().message.find("cluster 3000, outside 2..101"), std::string::npos);
    auto shortFile = extractBytes(*volume, paths["/SHORT.BIN"]);
    ASSERT_FALSE(shortFile.ok());
    EXPECT_NE(shortFile.error().message.find("512 of its 2000"), std::string::npos);
}

TEST(FatWalk, AFolderCycleIsWalkedOnce) {
    FatImage image(FatWidth::Fat32, 100);
    image.shortSlot(image.rootSlot(0), "A          ", 0x10, 10, 0);
    image.folder(10, 0);
    image.chain({10});
    image.shortSlot(image.slot(10, 2), "B          ", 0x10, 10, 0);  // itself
    image.shortSlot(image.slot(10, 3), "ROOT       ", 0x10, 2, 0);   // the root
    image.shortSlot(image.slot(10, 4), "FILE    TXT", 0x20, 0, 0);
    auto volume = image.open();
    parseOk(*volume);
    auto paths = pathsOf(*volume);
    std::vector<std::string> names;
    for (const auto& [path, id] : paths) names.push_back(path);
    EXPECT_EQ(names, (std::vector<std::string>{"/A", "/A/B", "/A/FILE.TXT", "/A/ROOT"}));
}

TEST(FatWalk, DeletedSlotsBehindTheEndMarkAreFound) {
    for (FatWidth width : {FatWidth::Fat12, FatWidth::Fat32}) {
        FatImage image(width, 100);
        image.shortSlot(image.rootSlot(0), "A          ", 0x10, 10, 0);
        image.folder(10, 0);
        image.chain({10});
        image.shortSlot(image.slot(10, 4),
                        "\xE5"
                        "EHIND  TXT",
                        0x20, 0, 0);
        image.shortSlot(image.slot(10, 5),
                        "\x00"
                        "ARBAGE TXT",
                        0x20, 0, 0);
        image.shortSlot(image.slot(10, 6), "BAD?*   TXT", 0x20, 0, 0);  // not a name
        auto volume = image.open();
        parseOk(*volume);
        auto paths = pathsOf(*volume);
        EXPECT_EQ(paths.size(), 2u);
        EXPECT_TRUE(volume->isDeleted(paths["/A/_EHIND.TXT"]));
    }
}

TEST(FatWalk, DeepTreesStopAtTheDepthBound) {
    FatImage image(FatWidth::Fat12, 400);
    image.shortSlot(image.rootSlot(0), "D          ", 0x10, 2, 0);
    for (uint32_t n = 2; n < 380; ++n) {
        image.folder(n, n - 1);
        image.chain({n});
        image.shortSlot(image.slot(n, 2), "D          ", 0x10, n + 1, 0);
    }
    auto volume = image.open();
    auto summary = parseOk(*volume);
    ASSERT_EQ(summary.warnings.size(), 1u);
    EXPECT_NE(summary.warnings[0].find("deeper than 256"), std::string::npos);
    EXPECT_EQ(volume->entryCount(), 1u + FatVolume::kMaxDepth);
}

TEST(FatWalk, ADeletedSlotNeverTakesALiveFoldersChildren) {
    FatImage image(FatWidth::Fat16, 4100);
    image.shortSlot(image.rootSlot(0),
                    "\xE5"
                    "LD        ",
                    0x10, 30, 0);
    image.shortSlot(image.rootSlot(1), "LIVE       ", 0x10, 30, 0);
    image.folder(30, 0);
    image.chain({30});
    image.shortSlot(image.slot(30, 2), "CHILD   TXT", 0x20, 0, 0);
    image.shortSlot(image.rootSlot(2),
                    "\xE5"
                    "ONE       ",
                    0x10, 40, 0);
    image.folder(40, 0);
    image.shortSlot(image.slot(40, 2), "INSIDE  TXT", 0x20, 0, 0);
    auto volume = image.open();
    parseOk(*volume);
    auto paths = pathsOf(*volume);
    ASSERT_TRUE(paths.count("/LIVE/CHILD.TXT"));
    EXPECT_FALSE(volume->isDeleted(paths["/LIVE"]));
    EXPECT_FALSE(volume->isDeleted(paths["/LIVE/CHILD.TXT"]));
    EXPECT_TRUE(volume->isDeleted(paths["/_LD"]));
    EXPECT_TRUE(volume->children(paths["/_LD"]).empty());
    // Entries of a deleted folder count as deleted.
    ASSERT_TRUE(paths.count("/_ONE/INSIDE.TXT"));
    EXPECT_TRUE(volume->isDeleted(paths["/_ONE/INSIDE.TXT"]));
}

TEST(FatWalk, AFolderWhoseClusterWasReusedHasNoChildren) {
    FatImage image(FatWidth::Fat12, 100);
    image.shortSlot(image.rootSlot(0), "REUSED     ", 0x10, 15, 0);
    image.chain({15});
    image.shortSlot(image.slot(15, 1), "GHOST   TXT", 0x20, 0, 0);  // slot 0 is file data
    auto volume = image.open();
    auto summary = parseOk(*volume);
    EXPECT_TRUE(volume->children(pathsOf(*volume)["/REUSED"]).empty());
    EXPECT_EQ(summary.warnings.size(), 1u);
}

TEST(FatWalk, LongNamesKeepTheirBeginningAndNeedTheirChecksum) {
    FatImage image(FatWidth::Fat12, 100);
    std::u16string longest(255, u'x');
    longest[0] = u'B';
    longest[254] = u'E';
    // Slot 20 holds the short entry; 20 pieces before it and one stale piece before those.
    image.shortSlot(image.rootSlot(21), "LONGES~1TXT", 0x20, 0, 0);
    image.longName(image.rootSlot(21), longest);
    image.longName(image.rootSlot(1), u"stale", false, 0);
    image.disk[image.rootSlot(0)] = 0x41;
    image.shortSlot(image.rootSlot(24), "WRONG   TXT", 0x20, 0, 0);
    image.longName(image.rootSlot(24), u"wrong checksum.txt", false, 1);
    image.shortSlot(image.rootSlot(27),
                    "\xE5"
                    "ELETE~1TXT",
                    0x20, 0, 0);
    image.longName(image.rootSlot(27), u"deleted long name.txt", true);
    // A live entry that took the slot after a deleted one's pieces keeps its short name.
    image.shortSlot(image.rootSlot(30), "REUSED  TXT", 0x20, 0, 0);
    image.longName(image.rootSlot(30), u"older deleted.txt", true);
    auto volume = image.open();
    parseOk(*volume);
    auto paths = pathsOf(*volume);
    std::vector<std::string> names;
    for (const auto& [path, id] : paths) names.push_back(path);
    const std::string expectedLongest = "/B" + std::string(253, 'x') + "E";
    EXPECT_EQ(names, (std::vector<std::string>{expectedLongest, "/REUSED.TXT", "/WRONG.TXT",
                                               "/deleted long name.txt"}));
    EXPECT_TRUE(volume->isDeleted(paths["/deleted long name.txt"]));
}

TEST(FatWalk, StopEndsTheWalkWithWhatWasFound) {
    FatImage image(FatWidth::Fat12, 100);
    image.shortSlot(image.rootSlot(0), "A          ", 0x10, 10, 0);
    image.folder(10, 0);
    image.chain({10});
    image.shortSlot(image.slot(10, 2), "INNER   TXT", 0x20, 0, 0);
    auto volume = image.open();
    Progress progress;
    progress.requestStop();
    auto summary = volume->parse(fs::ParseMode::Standard, progress);
    ASSERT_TRUE(summary.ok());
    EXPECT_TRUE(summary.value().stopped);
    EXPECT_EQ(volume->topLevel().size(), 1u);
    auto out = extractBytes(*volume, 1);
    EXPECT_FALSE(out.ok());
}

TEST(FatWalk, EachClassRefusesTheOtherWidthWithItsMessage) {
    FatImage fat32(FatWidth::Fat32, 100);
    FatImage fat12(FatWidth::Fat12, 100);
    const VolumeView none;
    MemorySectorSource source32(fat32.disk), source12(fat12.disk);
    Progress progress;
    Fat16Class wrong16(VolumeView::toDiskEnd(source32, 0), {});
    auto refused16 = wrong16.parse(fs::ParseMode::Standard, progress);
    ASSERT_FALSE(refused16.ok());
    EXPECT_EQ(refused16.error().message, "Selected Drive is not in Fat16 Format");
    Fat32Class wrong32(VolumeView::toDiskEnd(source12, 0), {});
    auto refused32 = wrong32.parse(fs::ParseMode::Standard, progress);
    ASSERT_FALSE(refused32.ok());
    EXPECT_EQ(refused32.error().message, "Selected Drive is not in Fat32 Format");
    Fat32Class empty(none, {});
    EXPECT_FALSE(empty.parse(fs::ParseMode::Standard, progress).ok());
}

TEST(FatWalk, AVolumeCutShortReadsWhatIsThere) {
    FatImage image(FatWidth::Fat16, 4100);
    image.shortSlot(image.rootSlot(0), "DATA    BIN", 0x20, 4000, 100);
    image.chain({4000});
    image.disk.resize(image.clusterOffset(100));
    auto volume = image.open();
    parseOk(*volume);
    auto data = extractBytes(*volume, pathsOf(*volume)["/DATA.BIN"]);
    ASSERT_FALSE(data.ok());
    EXPECT_NE(data.error().message.find("past the disk's end"), std::string::npos);
}

}  // namespace
}  // namespace prendle::fat
