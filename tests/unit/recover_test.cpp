// The shared walk and subtree recovery on a small file system defined here and plugged
// in through the table: cycles, hostile and repeated names, failed and stopped files,
// and the browser's save reporting what could not be saved.
#include "fs/common/recover.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <thread>

#include "browser/volume_scan_dlg.h"
#include "disk/memory_sector_source.h"
#include "disk/session.h"
#include "fs/common/safe_name.h"
#include "fs/common/tree_walk.h"
#include "fs/file_systems.h"
#include "support/image_builder.h"
#include "support/scripted_platform.h"

namespace prendle {
namespace {

// Entries in a table; a folder's children by id. Entry data is its name repeated, and a
// file named "broken" fails after writing half of it.
class TableFileSystem : public fs::FileSystem {
public:
    struct Entry {
        std::string name;
        bool folder = false;
        std::vector<fs::EntryId> children;
    };
    std::vector<Entry> entries;
    std::vector<fs::EntryId> top;

    Result<fs::ParseSummary> parse(fs::ParseMode, Progress&) override {
        fs::ParseSummary summary;
        summary.entryCount = entries.size();
        return summary;
    }
    std::vector<fs::EntryId> topLevel() const override { return top; }
    std::vector<fs::EntryId> children(fs::EntryId id) const override {
        return id < entries.size() ? entries[id].children : std::vector<fs::EntryId>{};
    }
    uint64_t entryCount() const override { return entries.size(); }
    bool usable(fs::EntryId id) const override { return id < entries.size(); }
    bool isFolder(fs::EntryId id) const override { return usable(id) && entries[id].folder; }
    bool isDeleted(fs::EntryId) const override { return false; }
    fs::EntryFacts facts(fs::EntryId id) const override {
        fs::EntryFacts out;
        out.name = entries[id].name;
        out.folder = entries[id].folder;
        out.size = content(id).size();
        out.modified = 132000000000000000;  // 2019-04-19
        return out;
    }
    EntryDisplayText displayText(fs::EntryId) const override { return {}; }
    Status extract(fs::EntryId id, const FileHandle& out, Progress& progress) override {
        const std::string data = content(id);
        const auto bytes = std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        if (entries[id].name == "broken") {
            (void)out.writeAt(0, bytes.first(bytes.size() / 2));
            return ioError("clusters at 99 could not be read");
        }
        if (!progress.checkpoint()) return Error{ErrorKind::Stopped, "stopped"};
        return out.writeAt(0, bytes);
    }
    std::string content(fs::EntryId id) const {
        std::string out;
        for (int i = 0; i < 10; ++i) out += entries[id].name;
        return out;
    }
    fs::EntryId add(std::string name, bool folder, fs::EntryId parent = fs::kNoEntry) {
        entries.push_back({std::move(name), folder, {}});
        const fs::EntryId id = entries.size() - 1;
        (parent == fs::kNoEntry ? top : entries[parent].children).push_back(id);
        return id;
    }
};

// docs/ holds a loop back to itself, a hostile name, three files of one name and a file
// that fails; a file of its own beside it on the first level.
std::unique_ptr<TableFileSystem> sampleTree() {
    auto table = std::make_unique<TableFileSystem>();
    const fs::EntryId docs = table->add("docs", true);
    table->add("a.txt", false, docs);
    table->add("../../escape.txt", false, docs);
    for (int i = 0; i < 3; ++i) table->add("same.txt", false, docs);
    table->add("broken", false, docs);
    const fs::EntryId inner = table->add("inner", true, docs);
    table->entries[inner].children.push_back(docs);  // a directory cycle
    table->add("top.bin", false);
    return table;
}

std::string readText(const std::string& path) {
    auto bytes = test::readWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(Recover, ASubtreeIsWrittenInsideTheFolderWithUniqueNamesAndFailuresKeptAsPartial) {
    auto table = sampleTree();
    test::TempFolder out;
    Progress progress;
    const auto report = fs::recoverEntries(*table, table->topLevel(), out.path(), progress);
    const std::string docs = out.path() + "/docs";
    EXPECT_EQ(readText(docs + "/a.txt"), table->content(1));
    // The hostile name stays a file inside docs/: nothing lands beside the output folder.
    EXPECT_TRUE(std::filesystem::is_regular_file(docs + "/" + safeFileName("../../escape.txt")));
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(out.path()).parent_path() / "escape.txt"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(docs),
                            std::filesystem::directory_iterator{}),
              7);
    for (const char* name : {"same.txt", "same (2).txt", "same (3).txt"})
        EXPECT_TRUE(std::filesystem::exists(docs + "/" + name)) << name;
    // The failed file never looks complete and keeps what was read.
    EXPECT_FALSE(std::filesystem::exists(docs + "/broken"));
    EXPECT_EQ(readText(docs + "/broken.partial").size(), table->content(6).size() / 2);
    // The cycle is not followed a second time.
    EXPECT_TRUE(std::filesystem::is_directory(docs + "/inner"));
    EXPECT_TRUE(std::filesystem::is_empty(docs + "/inner"));
    EXPECT_EQ(readText(out.path() + "/top.bin"), table->content(8));
    struct stat info {};
    ASSERT_EQ(::stat((docs + "/a.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1555526400 - 0);  // the file time 132000000000000000
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, docs + "/broken");
    EXPECT_EQ(report.filesWritten, 6u);
    EXPECT_EQ(fs::failureSummary(report).substr(0, 34), "1 file could not be saved: broken\n");
    EXPECT_NE(readText(report.failureListPath).find("clusters at 99"), std::string::npos);
}

TEST(Recover, AStopLeavesNoFileThatLooksComplete) {
    auto table = sampleTree();
    test::TempFolder out;
    Progress stopped;
    stopped.requestStop();
    const auto report = fs::recoverEntries(*table, {8}, out.path(), stopped);
    EXPECT_TRUE(report.stopped);
    EXPECT_FALSE(std::filesystem::exists(out.path() + "/top.bin"));
    Progress fresh;  // the next job starts with its stop cleared
    EXPECT_TRUE(fs::recoverFile(*table, 8, out.path() + "/top.bin", fresh).ok());
    EXPECT_EQ(readText(out.path() + "/top.bin"), table->content(8));
}

TEST(Recover, AFileAlreadyInTheOutputFolderIsNeverReplaced) {
    auto table = sampleTree();
    test::TempFolder out;
    {
        auto mine = FileHandle::createWrite(out.path() + "/top.bin");
        ASSERT_TRUE(mine.ok());
        ASSERT_TRUE(mine.value().writeAt(0, std::span<const uint8_t>(test::Bytes{'m'})).ok());
    }
    Progress progress;
    const auto report = fs::recoverEntries(*table, {8}, out.path(), progress);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(readText(out.path() + "/top.bin"), "m");
    EXPECT_EQ(readText(out.path() + "/top (2).bin"), table->content(8));
}

TEST(Recover, TheWalkVisitsEachEntryOnceAndCountsFiles) {
    auto table = sampleTree();
    std::map<fs::EntryId, int> visits;
    fs::walkTree(*table, fs::kNoEntry, "", [&](fs::EntryId id, const std::string&, fs::EntryId) {
        ++visits[id];
        return true;
    });
    EXPECT_EQ(visits.size(), table->entries.size());
    for (const auto& [id, count] : visits) EXPECT_EQ(count, 1) << id;
    EXPECT_EQ(fs::countFiles(*table, table->topLevel()), 7u);
}

TEST(Recover, ManyEqualNamesAreNumberedInOrder) {
    FolderNames names;
    std::vector<std::string> given;
    for (int i = 0; i < 20000; ++i) given.push_back(names.claim("x.dat"));
    EXPECT_EQ(given[0], "x.dat");
    EXPECT_EQ(given[1], "x (2).dat");
    EXPECT_EQ(given[19999], "x (20000).dat");
    EXPECT_EQ(names.claim("x (5).dat"), "x (5) (2).dat");
}

// Stands in for the recovery mode page with a volume of the test file system.
class ModePage : public ui::Page, public browser::VolumeSource {
public:
    explicit ModePage(ui::Platform& platform) : Page(platform, 136) {}
    VolumeInfo browsedVolume() const override {
        return {"RAW", "", "0", "1", 0, FileSystemKind::Raw};
    }
    fs::ParseMode browsedMode() const override { return fs::ParseMode::Standard; }
    browser::VolumeScanDlg* open() {
        goNext(std::make_unique<browser::VolumeScanDlg>(platform_));
        return dynamic_cast<browser::VolumeScanDlg*>(child());
    }
};

TEST(Recover, TheBrowsersSaveOfARegisteredFileSystemSaysWhatCouldNotBeSaved) {
    fs::FileSystemType type;
    type.name = "table";
    type.volumeKinds = {FileSystemKind::Raw};
    type.modes = {fs::ParseMode::Standard};
    type.open = [](const VolumeView&, const VolumeInfo&,
                   const fs::OpenOptions&) -> std::unique_ptr<fs::FileSystem> {
        return sampleTree();
    };
    fs::registerFileSystem(type);
    Session session;
    session.reader = std::make_unique<MemorySectorSource>(std::vector<uint8_t>(4096));
    test::ScriptedPlatform platform;
    test::TempFolder out;
    {
        ModePage mode(platform);
        mode.setSession(session);
        mode.initialise();
        browser::VolumeScanDlg* page = mode.open();
        page->worker().join();
        ASSERT_EQ(page->tree.children(page->rootItem()).size(), 2u);
        page->tree.selectTreeItem(page->rootItem());
        platform.folders.push_back(out.path());
        platform.answers.push_back(ui::Answer::Yes);
        page->command(browser::VolumeScanDlg::kSave);
        page->worker().join();
        EXPECT_EQ(platform.texts().back().substr(0, 44),
                  "work done\n\n1 file could not be saved: broken");
        EXPECT_EQ(page->control(browser::VolumeScanDlg::kStatus).text,
                  "1 file could not be saved: broken");
        EXPECT_TRUE(std::filesystem::exists(out.path() + "/docs/a.txt"));
    }
    fs::unregisterFileSystem("table");
}

// Exit while a save runs: the worker is stopped and joined before the process ends, so it
// never reads through a reader that is being destroyed.
TEST(Recover, ExitWaitsForTheRunningSave) {
    struct ExitWatch : test::ScriptedPlatform {
        void exitProcess(int code) override {
            busyAtExit = busy();
            exited = true;
            ScriptedPlatform::exitProcess(code);
        }
        std::function<bool()> busy;
        std::atomic<bool> exited{false};
        bool busyAtExit = true;
    } platform;
    fs::FileSystemType type;
    type.name = "table";
    type.volumeKinds = {FileSystemKind::Raw};
    type.modes = {fs::ParseMode::Standard};
    type.open = [](const VolumeView&, const VolumeInfo&,
                   const fs::OpenOptions&) -> std::unique_ptr<fs::FileSystem> {
        return sampleTree();
    };
    fs::registerFileSystem(type);
    Session session;
    session.reader = std::make_unique<MemorySectorSource>(std::vector<uint8_t>(4096));
    test::TempFolder out;
    {
        ModePage mode(platform);
        mode.setSession(session);
        mode.initialise();
        browser::VolumeScanDlg* page = mode.open();
        page->worker().join();
        platform.busy = [page] { return page->worker().running(); };
        page->tree.selectTreeItem(page->rootItem());
        platform.folders.push_back(out.path());
        platform.answers = {ui::Answer::Yes, ui::Answer::Yes};
        std::thread exitThread;
        {
            // The save's first report waits for the interface thread, held here.
            std::unique_lock interfaceThread(platform.interfaceThread);
            page->command(browser::VolumeScanDlg::kSave);
            exitThread = std::thread([page] { page->command(ui::Page::kCancel); });
            while (!platform.exited && !page->worker().stopRequested) std::this_thread::yield();
        }
        exitThread.join();
        EXPECT_TRUE(platform.exited);
        EXPECT_FALSE(platform.busyAtExit);
    }
    fs::unregisterFileSystem("table");
}

}  // namespace
}  // namespace prendle
