// The NTFS parse on the first 96 KiB of a volume made by mkntfs (boot sector and MFT):
// the first tree level, ORPHAN_ENTRY, a damaged root, pause during a parse and what
// extraction makes of data cut off.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "disk/memory_sector_source.h"
#include "fs/ntfs/ntfs.h"
#include "support/image_builder.h"
#include "ui/worker.h"

namespace prendle {
namespace {

class Recording : public Progress {
public:
    void status(const std::string& text) override { statuses.push_back(text); }
    std::vector<std::string> statuses;
};

std::vector<uint8_t> smallCutVolume() {
    return test::readWholeFile(std::string(PRENDLE_SOURCE_DIR) +
                               "/fuzz/corpus/ntfs_volume/small-cut.img");
}

std::vector<std::string> topNames(const ntfs& parser) {
    std::vector<std::string> names;
    for (uint64_t id : parser.topLevel()) names.emplace_back(parser.name(id));
    return names;
}

class NtfsParse : public testing::Test {
protected:
    MemorySectorSource source{smallCutVolume()};
    VolumeInfo info{"NTFS", "", "0", "1   MB", 0, FileSystemKind::Ntfs};
    Recording progress;
};

TEST_F(NtfsParse, TheFirstLevelListsTheRootsChildrenWithOrphanEntryLast) {
    ntfs parser(VolumeView::toDiskEnd(source, 0), info);
    auto summary = parser.parse(fs::ParseMode::Standard, progress);
    ASSERT_TRUE(summary.ok());
    EXPECT_GT(summary.value().entryCount, 10u);
    ASSERT_TRUE(parser.hasRoot());
    EXPECT_EQ(parser.rootIndex, 5u);
    EXPECT_NE(std::find(progress.statuses.begin(), progress.statuses.end(),
                        "boot sector is fine.Getting run of mft entry..."),
              progress.statuses.end());
    const auto names = topNames(parser);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "ORPHAN_ENTRY");
    EXPECT_NE(std::find(names.begin(), names.end(), "$AttrDef"), names.end());
}

TEST_F(NtfsParse, DirectoriesAndDataOutsideTheImageGiveClearErrors) {
    ntfs parser(VolumeView::toDiskEnd(source, 0), info);
    ASSERT_TRUE(parser.parse(fs::ParseMode::Standard, progress).ok());
    test::TempFolder out;
    std::string path = out.path() + "/";
    auto directory = parser.extractMftEntry("11", path);  // $Extend
    ASSERT_FALSE(directory.ok());
    EXPECT_EQ(directory.error().message, "This is  $Extend directory .Please specify file names ");
    path = out.path() + "/";
    auto upcase = parser.extractMftEntry("10", path);  // $UpCase lies past the cut
    EXPECT_FALSE(upcase.ok());
    EXPECT_EQ(path, out.path() + "/$UpCase");
    path = out.path() + "/";
    EXPECT_FALSE(parser.extractMftEntry("not a number", path).ok());
}

// Both a deep parse and a standard parse whose root record is damaged show every entry
// below ORPHAN_ENTRY, alone on the first level, instead of an empty tree.
TEST_F(NtfsParse, WithoutARootRecordEntriesAreShownBelowOrphanEntry) {
    ntfs intact(VolumeView::toDiskEnd(source, 0), info);
    ASSERT_TRUE(intact.parse(fs::ParseMode::Standard, progress).ok());
    std::vector<uint8_t> damaged = source.bytes();
    damaged[intact.entryTable[5].recordOffset] = 'X';  // "FILE" no more
    MemorySectorSource damagedSource(damaged);

    struct Case {
        const char* name;
        const readWriteInterface* source;
        fs::ParseMode mode;
    };
    for (const Case& c : {Case{"deep", &source, fs::ParseMode::Deep},
                          Case{"damaged root", &damagedSource, fs::ParseMode::Standard}}) {
        ntfs parser(VolumeView::toDiskEnd(*c.source, 0), info);
        auto summary = parser.parse(c.mode, progress);
        ASSERT_TRUE(summary.ok()) << c.name;
        EXPECT_EQ(topNames(parser), std::vector<std::string>{"ORPHAN_ENTRY"}) << c.name;
        EXPECT_GT(parser.childrenOf(parser.orphanIndex).size(), 5u) << c.name;
    }
}

TEST_F(NtfsParse, PauseHoldsAParseUntilResume) {
    struct Sink : ui::WorkerSink {
        void progressRange(uint64_t, uint64_t) override {}
        void progressPos(uint64_t) override {}
        void status(const std::string&) override {}
    } sink;
    ui::Worker worker(sink);
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
    std::atomic<bool> parsed{false};
    ntfs parser(VolumeView::toDiskEnd(source, 0), info);
    worker.start([&](ui::JobContext& job) {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return go; });
        lock.unlock();
        (void)parser.parse(fs::ParseMode::Standard, job);
        parsed = true;
    });
    worker.pause();
    {
        std::lock_guard lock(mutex);
        go = true;
    }
    released.notify_all();
    worker.waitUntilParked();
    EXPECT_FALSE(parsed);
    EXPECT_TRUE(worker.running());
    worker.resume();
    worker.join();
    EXPECT_TRUE(parsed);
    EXPECT_FALSE(parser.topLevel().empty());
}

}  // namespace
}  // namespace prendle
