// The browser page on the NTFS fixture (mkntfs + ntfs-3g): parse start-up and ending,
// lazy filling, clicks, checks in both directions, search, save and stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "browser/volume_scan_dlg.h"
#include "disk/file_read_seek_flat.h"
#include "disk/session.h"
#include "fs/common/recover.h"
#include "fs/common/tree_walk.h"
#include "support/image_builder.h"
#include "support/scripted_platform.h"

namespace prendle::browser {
namespace {

// Stands in for the recovery mode page.
class ModePage : public ui::Page, public VolumeSource {
public:
    ModePage(ui::Platform& platform, VolumeInfo v, fs::ParseMode mode)
        : Page(platform, 136), volume_(std::move(v)), mode_(mode) {
        volume_.kind = fileSystemKindFromName(volume_.fsName);
    }
    VolumeInfo browsedVolume() const override { return volume_; }
    fs::ParseMode browsedMode() const override { return mode_; }
    VolumeScanDlg* open() {
        goNext(std::make_unique<VolumeScanDlg>(platform_));
        return dynamic_cast<VolumeScanDlg*>(child());
    }

private:
    VolumeInfo volume_;
    fs::ParseMode mode_;
};

std::string sha256Of(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[65] = {};
    if (pipe == nullptr) return {};
    size_t got = fread(buffer, 1, 64, pipe);
    pclose(pipe);
    return std::string(buffer, got);
}

class Browser : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // One copy per test process: CTest runs the cases side by side.
        image_ = testing::TempDir() + "prendle-browser-ntfs-" + std::to_string(::getpid()) + ".img";
        ASSERT_EQ(std::system(("xz -dc '" + std::string(PRENDLE_SOURCE_DIR) +
                               "/tests/fixtures/ntfs/ntfs.img.xz' > '" + image_ + "'")
                                  .c_str()),
                  0);
    }
    static void TearDownTestSuite() { std::filesystem::remove(image_); }
    void SetUp() override {
        auto reader = std::make_unique<FileReadSeekFlat>();
        ASSERT_TRUE(reader->open(image_));
        session.reader = std::move(reader);
    }
    void TearDown() override { mode_.reset(); }
    VolumeScanDlg& openBrowser(const std::string& fsName = "NTFS",
                               fs::ParseMode mode = fs::ParseMode::Standard) {
        mode_ =
            std::make_unique<ModePage>(platform, VolumeInfo{fsName, "", "0", "64   MB", 0}, mode);
        mode_->setSession(session);
        mode_->initialise();
        VolumeScanDlg* page = mode_->open();
        page->worker().join();
        return *page;
    }
    TreeItem childNamed(VolumeScanDlg& page, TreeItem parent, const std::string& name) {
        for (TreeItem item : page.tree.children(parent))
            if (page.tree.text(item) == name) return item;
        return 0;
    }

    static std::string image_;
    test::ScriptedPlatform platform;
    Session session;
    std::unique_ptr<ModePage> mode_;
};
std::string Browser::image_;

TEST_F(Browser, TheParseEndsWithTheFirstLevelAndPlaceholders) {
    VolumeScanDlg& page = openBrowser("ntfs");
    EXPECT_EQ(platform.texts().back(),
              "Scanning processing done.Select save button to save the data.");
    EXPECT_FALSE(page.workBusy);
    EXPECT_TRUE(page.control(VolumeScanDlg::kBack).enabled);
    EXPECT_FALSE(page.control(VolumeScanDlg::kStop).visible);
    EXPECT_EQ(page.tree.text(page.rootItem()), "ROOT");
    TreeItem deep = childNamed(page, page.rootItem(), "deep");
    ASSERT_NE(deep, 0u);
    EXPECT_EQ(page.tree.text(page.tree.firstChild(deep)), kPlaceholderText);
    TreeItem orphans = page.tree.children(page.rootItem()).back();
    EXPECT_EQ(page.tree.text(orphans), "ORPHAN_ENTRY");
    // Deleted entries of the first level are red.
    TreeItem gone = childNamed(page, page.rootItem(), "gone");
    ASSERT_NE(gone, 0u);
    EXPECT_EQ(page.tree.record(gone)->textColour, kDeletedTextColour);
}

TEST_F(Browser, VolumesNoParserReadsAreNotValidDrives) {
    for (const char* name : {"Unknown", "RAW", "Basic data partition"}) {
        VolumeScanDlg& page = openBrowser(name);
        EXPECT_EQ(platform.texts().back(), "not a valid drive.") << name;
        EXPECT_EQ(page.control(VolumeScanDlg::kStatus).text, "Not a valid Drive .Go back");
        EXPECT_TRUE(page.control(VolumeScanDlg::kBack).enabled);
        page.command(VolumeScanDlg::kSave);
        EXPECT_EQ(platform.texts().back(), "Please wait for other process to complete");
    }
}

TEST_F(Browser, FoldersFillOnceAndClicksListTheirFilesWithTexts) {
    VolumeScanDlg& page = openBrowser();
    TreeItem deep = childNamed(page, page.rootItem(), "deep");
    page.treeItemExpanding(deep);
    page.treeItemExpanding(deep);
    ASSERT_EQ(page.tree.children(deep).size(), 1u);
    TreeItem a = page.tree.firstChild(deep);
    EXPECT_EQ(page.tree.text(a), "a");
    EXPECT_EQ(page.tree.text(page.tree.firstChild(a)), kPlaceholderText);

    TreeItem japanese = childNamed(page, page.rootItem(), "日本語フォルダ");
    page.treeLabelClicked(japanese);
    ASSERT_EQ(page.list.rows.size(), 1u);
    EXPECT_EQ(page.list.rows[0].cells[0], "中身.txt");
    EXPECT_EQ(page.list.rows[0].cells[4], "7 Bytes");
    EXPECT_NE(page.list.rows[0].cells[3].find("M"), std::string::npos);  // "... AM"/"PM"
    EXPECT_EQ(page.list.rows[0].cells[5], "-A");

    // A label click on the deleted folder's parent colours deleted children red.
    TreeItem gone = childNamed(page, page.rootItem(), "gone");
    page.treeLabelClicked(gone);
    TreeItem lost = childNamed(page, gone, "big-lost.bin");
    ASSERT_NE(lost, 0u);
    EXPECT_EQ(page.tree.record(lost)->textColour, kDeletedTextColour);
}

TEST_F(Browser, ListChecksDriveTheTreeUnlessTheListShowsSearchResults) {
    VolumeScanDlg& page = openBrowser();
    TreeItem compressed = childNamed(page, page.rootItem(), "compressed");
    page.treeLabelClicked(compressed);
    ASSERT_EQ(page.list.rows.size(), 3u);
    page.listCheckBoxClicked(0);
    const TreeItem first = static_cast<TreeItem>(page.list.rows[0].data);
    EXPECT_TRUE(page.tree.getItemCheck(first));
    EXPECT_EQ(page.tree.stateImage(compressed), 3);
    page.listCheckBoxClicked(1);
    page.listCheckBoxClicked(2);
    EXPECT_TRUE(page.tree.getItemCheck(compressed));
    EXPECT_EQ(page.list.headerImage(), 2);

    // Checked folders pass their state to children filled later (NTFS).
    TreeItem deep = childNamed(page, page.rootItem(), "deep");
    page.tree.setItemCheck(deep, true);
    page.treeItemExpanding(deep);
    EXPECT_TRUE(page.tree.getItemCheck(page.tree.firstChild(deep)));

    page.setText(VolumeScanDlg::kPattern, "numbers");
    page.command(VolumeScanDlg::kSearch);
    page.worker().join();
    ASSERT_FALSE(page.list.rows.empty());
    page.tree.setItemCheck(compressed, false);
    page.listCheckBoxClicked(0);
    EXPECT_FALSE(page.tree.getItemCheck(compressed));
}

TEST_F(Browser, SearchPatternsAreCaseBlindRegularExpressions) {
    VolumeScanDlg& page = openBrowser();
    struct Case {
        const char* pattern;
        std::vector<std::string> paths;  // expected, in any order; empty: none
    };
    const Case cases[] = {
        {"BOTTOM|中身", {"ROOT/deep/a/b/c/d/e/f/g/bottom.txt", "ROOT/日本語フォルダ/中身.txt"}},
        {"^num", {"ROOT/compressed/numbers.txt"}},
        {"\\.BIN$", {}},  // checked by count below
        {"", {}},
    };
    for (const auto& c : cases) {
        page.setText(VolumeScanDlg::kPattern, c.pattern);
        page.command(VolumeScanDlg::kSearch);
        page.worker().join();
        EXPECT_EQ(platform.texts().back(), "Searching Finished") << c.pattern;
        std::vector<std::string> got;
        for (const auto& row : page.list.rows) got.push_back(row.cells[0]);
        if (std::string(c.pattern) == "\\.BIN$") {
            EXPECT_GE(got.size(), 5u);
            for (const auto& path : got) EXPECT_EQ(path.substr(path.size() - 4), ".bin");
            continue;
        }
        std::sort(got.begin(), got.end());
        auto want = c.paths;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << c.pattern;
    }
    page.setText(VolumeScanDlg::kPattern, "*.pdf");
    page.command(VolumeScanDlg::kSearch);
    EXPECT_EQ(platform.texts().back(),
              "such characters are not allowed for search.Try again with different pattern.");
}

TEST_F(Browser, SavingAFolderWritesEveryFileIntactWithItsTime) {
    VolumeScanDlg& page = openBrowser();
    test::TempFolder out;
    TreeItem deep = childNamed(page, page.rootItem(), "deep");
    page.tree.selectTreeItem(deep);
    platform.folders.push_back(std::nullopt);
    page.command(VolumeScanDlg::kSave);
    EXPECT_EQ(platform.texts().back(), "Please select valid output folder");

    platform.folders.push_back(out.path());
    platform.answers.push_back(ui::Answer::Yes);
    page.command(VolumeScanDlg::kSave);
    page.worker().join();
    EXPECT_EQ(platform.messages[platform.messages.size() - 2].text,
              "number of files found inside this folder = 1 .do u want to continue dumping "
              "these files..?");
    EXPECT_EQ(platform.texts().back(), "work done");
    const std::string bottom = out.path() + "/a/b/c/d/e/f/g/bottom.txt";
    ASSERT_TRUE(std::filesystem::exists(bottom));

    std::ifstream referenceFile(std::string(PRENDLE_SOURCE_DIR) +
                                "/tests/fixtures/ntfs/reference.json");
    auto reference = nlohmann::json::parse(referenceFile);
    for (const auto& entry : reference) {
        if (entry["path"] == "deep/a/b/c/d/e/f/g/bottom.txt") {
            EXPECT_EQ(sha256Of(bottom), entry["sha256"].get<std::string>());
        }
    }

    // The whole volume from the top item, compared with icat's hashes.
    test::TempFolder all;
    page.tree.selectTreeItem(page.rootItem());
    platform.folders.push_back(all.path());
    platform.answers.push_back(ui::Answer::Yes);
    page.command(VolumeScanDlg::kSave);
    page.worker().join();
    int compared = 0;
    for (const auto& entry : reference) {
        if (!entry.contains("sha256")) continue;
        const std::string path = all.path() + "/" + entry["path"].get<std::string>();
        if (entry["path"].get<std::string>().rfind("filler", 0) == 0) continue;
        EXPECT_EQ(sha256Of(path), entry["sha256"].get<std::string>()) << path;
        ++compared;
    }
    EXPECT_GT(compared, 10);
}

TEST_F(Browser, AStopDuringAParseDoesNotSilenceLaterSaves) {
    VolumeScanDlg& page = openBrowser();
    page.command(VolumeScanDlg::kStop);
    EXPECT_EQ(page.control(VolumeScanDlg::kStatus).text,
              "stop button pressed.Please wait for the process to be stopped.");
    test::TempFolder out;
    page.tree.selectTreeItem(childNamed(page, page.rootItem(), "compressed"));
    platform.folders.push_back(out.path());
    platform.answers.push_back(ui::Answer::Yes);
    page.command(VolumeScanDlg::kSave);
    page.worker().join();
    // Whole contents, not a file of the right length full of zeros.
    EXPECT_EQ(sha256Of(out.path() + "/numbers.txt"),
              "a036031249164ec858e23450a91585ae7dcb73d481105832ca33813da893233f");
}

TEST_F(Browser, StopDuringASaveEndsItWithWorkDone) {
    VolumeScanDlg& page = openBrowser();
    test::TempFolder out;
    page.tree.selectTreeItem(page.rootItem());
    platform.folders.push_back(out.path());
    platform.answers.push_back(ui::Answer::Yes);
    {
        // The save's first report waits for the interface thread, held here, so the Stop
        // lands while the save runs.
        std::lock_guard interfaceThread(platform.interfaceThread);
        page.command(VolumeScanDlg::kSave);
        page.command(VolumeScanDlg::kStop);
    }
    page.worker().join();
    EXPECT_EQ(platform.texts().back(), "work done");
    EXPECT_FALSE(page.workBusy);
    size_t written = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(out.path());
         it != std::filesystem::recursive_directory_iterator(); ++it)
        written += it->is_regular_file() ? 1 : 0;
    EXPECT_LT(written, 100u);  // of more than a thousand

    page.command(VolumeScanDlg::kPause);
    EXPECT_EQ(page.control(VolumeScanDlg::kStatus).text, "Pause button pressed");
    page.command(VolumeScanDlg::kResume);
    EXPECT_EQ(page.control(VolumeScanDlg::kStatus).text, "Resume button pressed");
}

TEST_F(Browser, HostileNamesStayInsideTheOutputFolder) {
    // The same volume with a file renamed "../../evil.t" in its MFT record.
    test::Bytes image = test::readWholeFile(image_);
    const std::u16string from = u"one byte.txt", to = u"../../evil.t";
    const auto* fromBytes = reinterpret_cast<const uint8_t*>(from.data());
    auto at = std::search(image.begin(), image.end(), fromBytes, fromBytes + from.size() * 2);
    ASSERT_NE(at, image.end());
    std::memcpy(&*at, to.data(), to.size() * 2);
    test::TempFile hostile(image, ".img");
    auto reader = std::make_unique<FileReadSeekFlat>();
    ASSERT_TRUE(reader->open(hostile.path()));
    session.reader = std::move(reader);

    VolumeScanDlg& page = openBrowser();
    test::TempFolder out;
    const std::string inner = out.path() + "/inner";
    std::filesystem::create_directory(inner);
    page.tree.selectTreeItem(page.rootItem());
    platform.folders.push_back(inner);
    platform.answers.push_back(ui::Answer::Yes);
    page.command(VolumeScanDlg::kSave);
    page.worker().join();
    EXPECT_FALSE(std::filesystem::exists(out.path() + "/evil.t"));
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(out.path()).parent_path() / "evil.t"));
    EXPECT_EQ(test::readWholeFile(inner + "/.._.._evil.t"), test::Bytes{'x'});
    size_t outside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out.path()))
        outside += entry.path() != inner ? 1 : 0;
    EXPECT_EQ(outside, 0u);
}

TEST_F(Browser, DoubleClickingAFileAsksForAFolderInsteadOfAFixedPath) {
    VolumeScanDlg& page = openBrowser();
    TreeItem file = childNamed(page, page.rootItem(), "one byte.txt");
    ASSERT_NE(file, 0u);
    test::TempFolder out;
    platform.folders.push_back(out.path());
    page.treeDoubleClicked(file);
    EXPECT_EQ(platform.lastFolderTitle, "Please choose a folder.");
    EXPECT_EQ(test::readWholeFile(out.path() + "/one byte.txt"), test::Bytes{'x'});
}

// A Stop pressed after the parse has ended must not leak into later work: a double-click
// writes the whole file, and a search still looks inside every folder.
TEST_F(Browser, AStopAfterTheParseLeavesLaterExtractionAndSearchWhole) {
    VolumeScanDlg& page = openBrowser();
    page.setText(VolumeScanDlg::kPattern, "\\.bin$");
    page.command(VolumeScanDlg::kSearch);
    page.worker().join();
    const size_t found = page.list.rows.size();
    ASSERT_GE(found, 5u);
    page.command(VolumeScanDlg::kStop);
    test::TempFolder out;
    platform.folders.push_back(out.path());
    page.treeDoubleClicked(childNamed(page, page.rootItem(), "large.bin"));
    EXPECT_EQ(sha256Of(out.path() + "/large.bin"),
              "9d05a99ec0e80c12485a982732aa60ea7c7b1ed98b896e8d6d5bf9b30cd5d42f");
    page.command(VolumeScanDlg::kSearch);
    page.worker().join();
    EXPECT_EQ(page.list.rows.size(), found);
}

// Deep mode has no MFT runs: a file whose data runs live in extension records (an
// attribute list) is found through the records the scan saw, not written empty.
TEST_F(Browser, TheDeepParseExtractsFilesWithAttributeLists) {
    VolumeScanDlg& page = openBrowser("ntfs", fs::ParseMode::Deep);
    fs::FileSystem& parser = *page.currentParser();
    fs::EntryId fragmented = fs::kNoEntry;
    fs::walkTree(parser, fs::kNoEntry, "", [&](fs::EntryId id, const std::string&, fs::EntryId) {
        if (parser.name(id) == "fragmented.bin" && !parser.isDeleted(id)) fragmented = id;
        return true;
    });
    ASSERT_NE(fragmented, fs::kNoEntry);
    test::TempFolder out;
    Progress quiet;
    ASSERT_TRUE(fs::recoverFile(parser, fragmented, out.path() + "/f.bin", quiet).ok());
    EXPECT_EQ(sha256Of(out.path() + "/f.bin"),
              "da6af72066ecb188dc72d0f2d760e66848bd89f9179d94f47fe16f627a6cb8b0");
}

}  // namespace
}  // namespace prendle::browser
