// The exFAT walk and extraction on small volumes built by hand in memory: directories
// over several clusters, sets across cluster boundaries, deleted sets, loops and values
// from the disk that point outside the volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "disk/memory_sector_source.h"
#include "exfat_builder.h"
#include "fs/common/recycle_bin.h"
#include "fs/exfat/fat64.h"

namespace prendle {
namespace {

using test::Bytes;
using test::exfat::EntrySetLayout;
using test::exfat::kEndOfChain;
using test::exfat::makeSet;
using test::exfat::VolumeBuilder;

EntrySetLayout fileSpec(std::u16string name, uint32_t firstCluster = 0, uint64_t dataLength = 0,
                        uint8_t flags = 3) {
    EntrySetLayout layout;
    layout.name = std::move(name);
    layout.firstCluster = firstCluster;
    layout.dataLength = dataLength;
    layout.flags = flags;
    return layout;
}

EntrySetLayout folderSpec(std::u16string name, uint32_t firstCluster, uint64_t dataLength,
                          uint8_t flags = 3) {
    EntrySetLayout layout = fileSpec(std::move(name), firstCluster, dataLength, flags);
    layout.attributes = 0x10;
    return layout;
}

class StopAfter : public Progress {
public:
    explicit StopAfter(int checkpoints) : left_(checkpoints) {}
    bool checkpoint() override { return left_-- > 0; }

private:
    int left_;
};

class ExFatVolume : public testing::Test {
protected:
    // Parses the built volume; the names of every entry by path.
    void parse(const VolumeBuilder& built, fs::OpenOptions options = {},
               uint64_t maxLoadedFatBytes = Fat64Class::kMaxLoadedFatBytes) {
        source = std::make_unique<MemorySectorSource>(built.bytes);
        volume =
            std::make_unique<Fat64Class>(VolumeView::toDiskEnd(*source, 0), VolumeInfo{}, options);
        volume->maxLoadedFatBytes = maxLoadedFatBytes;
        auto result = volume->parse(fs::ParseMode::Standard, quiet);
        ASSERT_TRUE(result.ok()) << result.error().message;
        summary = result.value();
        paths.clear();
        collect(0, "");
    }
    void collect(fs::EntryId folder, const std::string& prefix) {
        for (fs::EntryId id : volume->children(folder)) {
            const std::string path = prefix + "/" + std::string(volume->facts(id).name);
            paths[path] = id;
            collect(id, path);
        }
    }
    bool has(const std::string& path) const { return paths.count(path) != 0; }
    Result<Bytes> extract(const std::string& path) {
        test::TempFolder folder;
        const std::string outPath = folder.path() + "/out";
        auto out = FileHandle::createWrite(outPath);
        if (!out) return out.error();
        auto status = volume->extract(paths.at(path), out.value(), quiet);
        out.value().close();
        if (!status) return status.error();
        return test::readWholeFile(outPath);
    }
    bool warned(const std::string& fragment) const {
        return std::any_of(
            summary.warnings.begin(), summary.warnings.end(),
            [&](const std::string& w) { return w.find(fragment) != std::string::npos; });
    }

    std::unique_ptr<MemorySectorSource> source;
    std::unique_ptr<Fat64Class> volume;
    fs::ParseSummary summary;
    std::map<std::string, fs::EntryId> paths;
    Progress quiet;
};

TEST_F(ExFatVolume, TheRootIsReadOverItsWholeFatChainWithASetAcrossTheClusterBoundary) {
    VolumeBuilder built;  // 512-byte clusters: 16 slots each
    built.chain({2, 5, 3});
    built.put(2, 0, makeSet(fileSpec(u"first")));
    EntrySetLayout across = fileSpec(u"a name long enough for two name entries");  // 5 slots
    const Bytes set = makeSet(across);
    const size_t split = 64;  // two slots in cluster 2, three in cluster 5
    built.put(2, 512 - split, Bytes(set.begin(), set.begin() + split));
    built.put(5, 0, Bytes(set.begin() + split, set.end()));
    built.put(5, 128, makeSet(fileSpec(u"second")));
    built.put(3, 0, makeSet(fileSpec(u"third")));
    parse(built);
    EXPECT_TRUE(has("/first"));
    EXPECT_TRUE(has("/a name long enough for two name entries"));
    EXPECT_TRUE(has("/second"));
    EXPECT_TRUE(has("/third"));
    EXPECT_EQ(summary.entryCount, 4u);
    EXPECT_TRUE(summary.warnings.empty()) << summary.warnings.front();
}

TEST_F(ExFatVolume, FoldersAreReadOverEveryClusterOfTheirDataLength) {
    struct Case {
        const char* name;
        uint8_t flags;
        std::vector<uint32_t> clusters;
    };
    const Case cases[] = {
        {"NoFatChainOverThreeClusters", 3, {10, 11, 12}},
        {"FatChainOverThreeClusters", 1, {20, 30, 25}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VolumeBuilder built;
        built.put(2, 0, makeSet(folderSpec(u"dir", c.clusters[0], 3 * 512, c.flags)));
        if (c.flags == 1) built.chain(c.clusters);
        for (size_t i = 0; i < c.clusters.size(); ++i)
            built.put(c.clusters[i], 256,
                      makeSet(fileSpec(u"in" + std::u16string(1, char16_t(u'0' + i)))));
        // One cluster past the data length is not part of the folder.
        built.put(c.clusters.back() + 1, 0, makeSet(fileSpec(u"beyond")));
        parse(built);
        EXPECT_TRUE(has("/dir/in0"));
        EXPECT_TRUE(has("/dir/in1"));
        EXPECT_TRUE(has("/dir/in2"));
        EXPECT_FALSE(has("/dir/beyond"));
        EXPECT_TRUE(volume->isFolder(paths.at("/dir")));
    }
}

TEST_F(ExFatVolume, AFileEntryWithoutItsStreamNeverTakesAnotherSetsData) {
    VolumeBuilder built;
    built.fillCluster(20);
    built.put(2, 0, makeSet(fileSpec(u"real", 20, 100)));
    EntrySetLayout orphan = fileSpec(u"nostream");
    orphan.stream = false;
    orphan.secondaryCount = 2;
    built.put(2, 96, makeSet(orphan));
    built.put(2, 160, makeSet(fileSpec(u"after", 0, 0)));
    parse(built);
    EXPECT_TRUE(has("/real"));
    EXPECT_TRUE(has("/after"));
    EXPECT_FALSE(has("/nostream"));
    EXPECT_EQ(summary.entryCount, 2u);
    EXPECT_TRUE(warned("no Stream Extension"));
}

TEST_F(ExFatVolume, TheDirectoryBitMakesAFolderWhateverTheOtherBits) {
    VolumeBuilder built;
    EntrySetLayout folder = folderSpec(u"system folder", 10, 512);
    folder.attributes = 0x17;  // read-only, hidden, system, directory
    built.put(2, 0, makeSet(folder));
    EntrySetLayout file = fileSpec(u"plain");
    file.attributes = 0x27;
    built.put(2, 96, makeSet(file));
    built.put(10, 0, makeSet(fileSpec(u"inside")));
    parse(built);
    EXPECT_TRUE(volume->isFolder(paths.at("/system folder")));
    EXPECT_TRUE(has("/system folder/inside"));
    EXPECT_FALSE(volume->isFolder(paths.at("/plain")));
    EXPECT_EQ(volume->displayText(paths.at("/plain")).attributes, "-R-H-S-A");
}

TEST_F(ExFatVolume, DeletedSetsAppearWhenTheirChecksumHolds) {
    VolumeBuilder built;
    EntrySetLayout deletedFolder = folderSpec(u"olddir", 10, 512);
    deletedFolder.deleted = true;
    built.put(2, 0, makeSet(deletedFolder));
    EntrySetLayout broken = fileSpec(u"broken");
    broken.deleted = true;
    broken.breakChecksum = true;
    built.put(2, 96, makeSet(broken));
    EntrySetLayout liveBadChecksum = fileSpec(u"live");
    liveBadChecksum.breakChecksum = true;
    built.put(2, 192, makeSet(liveBadChecksum));
    built.put(10, 0, makeSet(fileSpec(u"inner")));  // live set inside a deleted folder
    parse(built);
    ASSERT_TRUE(has("/olddir"));
    EXPECT_TRUE(volume->isDeleted(paths.at("/olddir")));
    ASSERT_TRUE(has("/olddir/inner"));
    EXPECT_TRUE(volume->isDeleted(paths.at("/olddir/inner")));
    EXPECT_FALSE(has("/broken"));
    ASSERT_TRUE(has("/live"));
    EXPECT_FALSE(volume->isDeleted(paths.at("/live")));
    EXPECT_EQ(summary.deletedCount, 2u);
    EXPECT_TRUE(warned("1 deleted entry sets failed"));
    EXPECT_TRUE(warned("1 live entry sets were kept although their checksum fails"));
}

TEST_F(ExFatVolume, ADeletedFolderNeverTakesTheClustersOfALiveOne) {
    VolumeBuilder built;
    EntrySetLayout deletedFolder = folderSpec(u"old", 10, 512);
    deletedFolder.deleted = true;
    built.put(2, 0, makeSet(deletedFolder));                 // found first on the disk
    built.put(2, 96, makeSet(folderSpec(u"new", 10, 512)));  // owns cluster 10 now
    built.put(10, 0, makeSet(fileSpec(u"child")));
    parse(built);
    EXPECT_TRUE(has("/new/child"));
    EXPECT_FALSE(has("/old/child"));
}

TEST_F(ExFatVolume, LoopsInChainsAndFoldersEndTheWalk) {
    struct Case {
        const char* name;
        void (*build)(VolumeBuilder&);
        const char* warning;
    };
    const Case cases[] = {
        {"RootChainLoopsBack",
         [](VolumeBuilder& b) {
             b.setFat(2, 3);
             b.setFat(3, 2);
         },
         "was walked before"},
        {"RootChainPointsToItself", [](VolumeBuilder& b) { b.setFat(2, 2); }, "was walked before"},
        {"FolderIsTheRoot",
         [](VolumeBuilder& b) { b.put(2, 96, makeSet(folderSpec(u"loop", 2, 512))); },
         "was walked before"},
        {"FolderHoldsItself",
         [](VolumeBuilder& b) {
             b.put(2, 96, makeSet(folderSpec(u"outer", 10, 512)));
             b.put(10, 0, makeSet(folderSpec(u"self", 10, 512)));
         },
         "was walked before"},
        {"RootChainRunsOutOfTheHeap", [](VolumeBuilder& b) { b.setFat(2, 0xFFFFFF00); },
         "FAT entry of cluster 2 is 0xFFFFFF00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VolumeBuilder built;
        built.put(2, 0, makeSet(fileSpec(u"anchor")));
        c.build(built);
        parse(built);
        EXPECT_TRUE(has("/anchor"));
        EXPECT_LE(summary.entryCount, 3u);
        EXPECT_TRUE(warned(c.warning)) << (summary.warnings.empty() ? "" : summary.warnings[0]);
    }
}

TEST_F(ExFatVolume, NumbersFromTheDiskThatPointOutsideTheVolumeAreBounded) {
    VolumeBuilder built;
    built.put(2, 0, makeSet(folderSpec(u"huge dir", 60, ~uint64_t{0} >> 1)));  // to the heap end
    built.put(2, 96, makeSet(folderSpec(u"far dir", 0xFFFFFFF0, 512)));
    built.put(2, 192, makeSet(fileSpec(u"huge file", 40, ~uint64_t{0} >> 1)));
    built.put(2, 288, makeSet(fileSpec(u"far file", 0xFFFFFF00, 100)));
    built.put(2, 384, makeSet(fileSpec(u"chained far", 60, 5000, 1)));
    EntrySetLayout hugeZeros = fileSpec(u"huge zeros", 40, 40000);  // 79 clusters, 64 in the heap
    hugeZeros.validDataLength = 0;
    built.put(3, 0, makeSet(hugeZeros));
    built.setFat(2, 3);
    built.setFat(60, 61);
    built.put(60, 0, makeSet(fileSpec(u"in huge")));
    parse(built);
    EXPECT_TRUE(has("/huge dir/in huge"));
    EXPECT_TRUE(warned("runs past the end of the cluster heap"));
    EXPECT_TRUE(warned("first cluster 4294967280 outside the cluster heap"));
    struct Case {
        const char* path;
        const char* fragment;
    };
    const Case cases[] = {
        {"/huge file", "data length 9223372036854775807 is larger than the cluster heap"},
        {"/huge zeros", "data length 40000 is larger than the cluster heap"},
        {"/far file", "first cluster 4294967040 outside clusters 2 to 65"},
        {"/chained far", "FAT chain ends after 2 of 10 clusters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto data = extract(c.path);
        ASSERT_FALSE(data.ok());
        EXPECT_EQ(data.error().kind, ErrorKind::Corrupt);
        EXPECT_NE(data.error().message.find(c.fragment), std::string::npos) << data.error().message;
    }
}

TEST_F(ExFatVolume, AVolumeClaimingMoreThanTheImageReadsOnlyWhatTheImageHolds) {
    VolumeBuilder built;
    // 16 million clusters and a FAT of 64 MiB claimed by a volume of 33 KiB.
    test::putLe32(built.bytes, 92, 0x00FFFFFF);
    test::putLe32(built.bytes, 84, 0x20000);
    built.put(2, 0, makeSet(folderSpec(u"long dir", 60, 256ull << 20)));
    built.put(60, 0, makeSet(fileSpec(u"inside")));
    parse(built);
    EXPECT_TRUE(has("/long dir/inside"));
    EXPECT_TRUE(warned("the FAT at byte 512 runs past the image"));
    EXPECT_TRUE(warned("cluster 66 lies beyond the image"));
}

TEST_F(ExFatVolume, FilesAreWrittenFromTheirClustersToTheirDataLength) {
    // Once with the FAT in memory, once read in pieces as for a FAT too large to keep.
    for (uint64_t keepFat : {Fat64Class::kMaxLoadedFatBytes, uint64_t{0}}) {
        SCOPED_TRACE(keepFat);
        VolumeBuilder built(3, 32);  // 4096-byte clusters
        for (uint32_t cluster = 3; cluster < 20; ++cluster) built.fillCluster(cluster);
        built.put(2, 0, makeSet(fileSpec(u"contiguous", 4, 10000)));
        built.put(2, 96, makeSet(fileSpec(u"fragmented", 10, 9000, 1)));
        built.chain({10, 15, 12});
        EntrySetLayout tail = fileSpec(u"valid tail", 16, 6000);
        tail.validDataLength = 5000;
        built.put(2, 192, makeSet(tail));
        built.put(2, 288, makeSet(fileSpec(u"empty")));
        built.put(2, 384, makeSet(fileSpec(u"short chain", 18, 9000, 1)));
        built.setFat(18, kEndOfChain);
        parse(built, {}, keepFat);

        auto concat = [&](std::vector<uint32_t> clusters, size_t length) {
            Bytes out;
            for (uint32_t c : clusters) {
                Bytes data = built.clusterData(c);
                out.insert(out.end(), data.begin(), data.end());
            }
            out.resize(length);
            return out;
        };
        auto contiguous = extract("/contiguous");
        ASSERT_TRUE(contiguous.ok()) << contiguous.error().message;
        EXPECT_EQ(contiguous.value(), concat({4, 5, 6}, 10000));
        auto fragmented = extract("/fragmented");
        ASSERT_TRUE(fragmented.ok()) << fragmented.error().message;
        EXPECT_EQ(fragmented.value(), concat({10, 15, 12}, 9000));
        auto validTail = extract("/valid tail");
        ASSERT_TRUE(validTail.ok()) << validTail.error().message;
        Bytes expected = concat({16, 17}, 5000);
        expected.resize(6000, 0);
        EXPECT_EQ(validTail.value(), expected);
        EXPECT_EQ(volume->facts(paths.at("/valid tail")).size, 6000u);
        EXPECT_EQ(volume->sizeText(paths.at("/valid tail")), "4.88 KB");
        auto empty = extract("/empty");
        ASSERT_TRUE(empty.ok());
        EXPECT_TRUE(empty.value().empty());
        auto shortChain = extract("/short chain");
        ASSERT_FALSE(shortChain.ok());
        EXPECT_NE(shortChain.error().message.find("FAT chain ends after 1 of 3 clusters"),
                  std::string::npos)
            << shortChain.error().message;
    }
}

TEST_F(ExFatVolume, AFormattedDriveReadsChainedFilesAsContiguous) {
    VolumeBuilder built;
    for (uint32_t cluster = 3; cluster < 20; ++cluster) built.fillCluster(cluster);
    built.put(2, 0, makeSet(fileSpec(u"was chained", 10, 1500, 1)));
    // The FAT of a formatted drive holds nothing for the old file.
    parse(built, fs::OpenOptions{true});
    auto data = extract("/was chained");
    ASSERT_TRUE(data.ok()) << data.error().message;
    Bytes expected;
    for (uint32_t c : {10u, 11u, 12u}) {
        Bytes part = built.clusterData(c);
        expected.insert(expected.end(), part.begin(), part.end());
    }
    expected.resize(1500);
    EXPECT_EQ(data.value(), expected);
}

TEST_F(ExFatVolume, AStopEndsTheParseAndTheExtractionEarly) {
    VolumeBuilder built;
    built.put(2, 0, makeSet(folderSpec(u"a", 10, 512)));
    built.put(10, 0, makeSet(folderSpec(u"b", 11, 512)));
    built.put(11, 0, makeSet(fileSpec(u"c", 20, 2000)));
    source = std::make_unique<MemorySectorSource>(built.bytes);
    volume = std::make_unique<Fat64Class>(VolumeView::toDiskEnd(*source, 0), VolumeInfo{},
                                          fs::OpenOptions{});
    StopAfter stopAtOnce(1);
    auto stopped = volume->parse(fs::ParseMode::Standard, stopAtOnce);
    ASSERT_TRUE(stopped.ok());
    EXPECT_TRUE(stopped.value().stopped);
    EXPECT_EQ(stopped.value().entryCount, 1u);

    parse(built);
    EXPECT_FALSE(summary.stopped);
    ASSERT_TRUE(has("/a/b/c"));
    test::TempFolder folder;
    auto out = FileHandle::createWrite(folder.path() + "/c");
    ASSERT_TRUE(out.ok());
    StopAfter stopNow(0);
    auto status = volume->extract(paths.at("/a/b/c"), out.value(), stopNow);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::Stopped);
}

TEST_F(ExFatVolume, BrokenVolumesGiveAClearError) {
    struct Case {
        const char* name;
        size_t keepBytes;  // 0: all
        size_t offset;
        std::vector<uint8_t> value;
        ErrorKind kind;
        const char* fragment;
    };
    const Case cases[] = {
        {"NotExFat",
         0,
         3,
         {'M', 'S', 'D', 'O', 'S'},
         ErrorKind::Unsupported,
         "Selected Drive is not in exFat Format"},
        {"ImageShorterThanTheBootSector", 300, 0, {}, ErrorKind::Io, "cant read file"},
        {"RootPastTheImage", 512 * 2, 0, {}, ErrorKind::Corrupt, "root directory at cluster 2"},
        {"SectorShiftThirteen", 0, 108, {13}, ErrorKind::Corrupt, "bytes-per-sector shift 13"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VolumeBuilder built;
        built.put(2, 0, makeSet(fileSpec(u"x")));
        std::copy(c.value.begin(), c.value.end(),
                  built.bytes.begin() + static_cast<std::ptrdiff_t>(c.offset));
        if (c.keepBytes != 0) built.bytes.resize(c.keepBytes);
        source = std::make_unique<MemorySectorSource>(built.bytes);
        Fat64Class broken(VolumeView::toDiskEnd(*source, 0), VolumeInfo{}, fs::OpenOptions{});
        auto result = broken.parse(fs::ParseMode::Standard, quiet);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind, c.kind);
        EXPECT_NE(result.error().message.find(c.fragment), std::string::npos)
            << result.error().message;
    }
}

TEST_F(ExFatVolume, RecycleBinContentTakesTheNameItsIndexFileHolds) {
    VolumeBuilder built;
    built.put(2, 0, makeSet(folderSpec(u"$RECYCLE.BIN", 10, 512)));
    built.put(10, 0, makeSet(folderSpec(u"S-1-5-21-1001", 11, 512)));
    const std::u16string former = u"C:\\Users\\me\\report.txt";
    Bytes index(28 + (former.size() + 1) * 2, 0);
    test::putLe64(index, 0, 2);     // version 2
    test::putLe64(index, 8, 1234);  // former size
    test::putLe32(index, 24, static_cast<uint32_t>(former.size() + 1));
    for (size_t i = 0; i < former.size(); ++i)
        test::putLe16(index, 28 + i * 2, static_cast<uint16_t>(former[i]));
    built.put(20, 0, index);
    built.put(11, 0, makeSet(fileSpec(u"$IAB12CD.txt", 20, index.size())));
    built.put(11, 96, makeSet(fileSpec(u"$RAB12CD.txt", 21, 1234)));
    parse(built);
    ASSERT_TRUE(has("/$RECYCLE.BIN/S-1-5-21-1001/$RAB12CD.txt"));
    EXPECT_EQ(fs::restoreRecycleBinNames(*volume, quiet), 1u);
    EXPECT_EQ(volume->name(paths.at("/$RECYCLE.BIN/S-1-5-21-1001/$RAB12CD.txt")), "report.txt");
}

TEST_F(ExFatVolume, TheListShowsTheStampsAsWrittenAndTheValidLength) {
    VolumeBuilder built;
    built.put(2, 0, makeSet(fileSpec(u"f", 10, 1536)));
    parse(built);
    const auto text = volume->displayText(paths.at("/f"));
    EXPECT_EQ(text.created, "03/01/2024  12:34 AM");
    EXPECT_EQ(text.accessed, "03/01/2024  12:34 AM");
    EXPECT_EQ(text.modified, "03/01/2024  12:34 AM");
    EXPECT_EQ(volume->sizeText(paths.at("/f")), "1.50 KB");
    EXPECT_FALSE(volume->usable(0));
    EXPECT_FALSE(volume->usable(volume->entryCount()));
}

}  // namespace
}  // namespace prendle
