#include "raw/raw_recovery_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "disk/memory_sector_source.h"
#include "raw/raw_setting_dlg.h"
#include "support/scripted_platform.h"

namespace prendle::raw {
namespace {

namespace fs = std::filesystem;
constexpr char kDone[] = "Scanning processing done.Select save button to save the data.";

class RawPages : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("prendle_raw_page_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder / "out");
        // A 4 MiB disk whose volume starts at sector 2048 and holds two JPEGs and a PNG.
        disk.assign(4 << 20, 0);
        plantAt((1 << 20) + 4096, {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3});
        plantAt((1 << 20) + 4096 + 700, {0xFF, 0xD9});
        plantAt((1 << 20) + 65536, {0xFF, 0xD8, 0xFF, 0xE1, 4, 5, 6});
        plantAt((1 << 20) + 65536 + 1000, {0xFF, 0xD9});
        plantAt((1 << 20) + 131072, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A});
        plantAt((1 << 20) + 131072 + 300, {0x49, 0x45, 0x4E, 0x44});
        // Outside the volume: never a hit.
        plantAt(4096, {0xFF, 0xD8, 0xFF, 0xE0});
        plantAt(4196, {0xFF, 0xD9});
        source = std::make_unique<MemorySectorSource>(disk);
        volume.fsName = "RAW";
        volume.sizeText = "3   MB";
        volume.startSector = 2048;
    }
    void TearDown() override { fs::remove_all(folder); }

    void plantAt(size_t at, std::vector<uint8_t> bytes) {
        std::memcpy(disk.data() + at, bytes.data(), bytes.size());
    }
    std::string signatureFile() {
        const std::string path = (folder / "mine.txt").string();
        auto out = FileHandle::createWrite(path);
        SignatureFields jpg;
        jpg.extension = "jpg";
        jpg.startSignature = "ff,d8,ff";
        jpg.endSignature = "ff,d9";
        jpg.category = "Pictures";
        SignatureFields png;
        png.extension = "png";
        png.startSignature = "89,50,4e,47";
        png.endSignature = "49,45,4e,44";
        png.category = "Pictures";
        EXPECT_TRUE(saveSignatureRecord(jpg, out.value()));
        EXPECT_TRUE(saveSignatureRecord(png, out.value()));
        return path;
    }
    std::unique_ptr<RawRecoveryDialog> openPage() {
        auto page = std::make_unique<RawRecoveryDialog>(platform, volume, source.get());
        page->initialise();
        page->defaultSignaturePath = (folder / "FileSetting.txt").string();
        return page;
    }

    fs::path folder;
    std::vector<uint8_t> disk;
    std::unique_ptr<MemorySectorSource> source;
    VolumeInfo volume;
    test::ScriptedPlatform platform;
};

TEST_F(RawPages, TheRecoveryPageStartsIdleWithTheDefaultFile) {
    auto page = openPage();
    EXPECT_EQ(page->caption(), "Prendle v22.0");
    EXPECT_TRUE(page->control(RawRecoveryDialog::kLoadDefault).checked);
    EXPECT_FALSE(page->control(RawRecoveryDialog::kProgress).visible);
    EXPECT_FALSE(page->control(RawRecoveryDialog::kStop).visible);
    EXPECT_EQ(page->control(RawRecoveryDialog::kStatus).text,
              "Please select parse button to scan the default file.");
    EXPECT_EQ(page->control(RawRecoveryDialog::kList).columns,
              (std::vector<std::string>{"File(s) List"}));
    const std::string shown = page->control(RawRecoveryDialog::kSignaturePath).text;
    EXPECT_EQ(shown.substr(shown.size() - 15), "FileSetting.txt");
}

TEST_F(RawPages, RefusedParsesSayWhyAndLeaveThePageIdle) {
    struct Case {
        const char* name;
        bool loadDefault;
        std::string path;
        std::string sizeText;
        std::string message;
    };
    const std::string broken = (folder / "broken.txt").string();
    std::ofstream(broken, std::ios::binary) << std::string(100, '\0');
    const Case cases[] = {
        {"nothing to load", false, "", "3   MB", "Enter the info file first.."},
        {"a missing default file is passed over", true, "", "3   MB",
         "Enter the info file first.."},
        {"a missing named file", true, (folder / "absent.txt").string(), "3   MB",
         "Cannot open the selected file"},
        {"a 100-byte file", false, broken, "3   MB", "Please select a valid file.."},
        {"a zero size volume", false, signatureFile(), "0   MB", "zero size volume.."},
    };
    for (const Case& c : cases) {
        volume.sizeText = c.sizeText;
        auto page = openPage();
        page->control(RawRecoveryDialog::kLoadDefault).checked = c.loadDefault;
        page->control(RawRecoveryDialog::kSignaturePath).text = c.path;
        platform.messages.clear();
        page->command(RawRecoveryDialog::kParse);
        ASSERT_EQ(platform.messages.size(), 1u) << c.name;
        EXPECT_EQ(platform.messages[0].text.rfind(c.message, 0), 0u)
            << c.name << ": " << platform.messages[0].text;
        EXPECT_EQ(page->control(RawRecoveryDialog::kStatus).text, kDone) << c.name;
        EXPECT_FALSE(page->control(RawRecoveryDialog::kProgress).visible) << c.name;
        EXPECT_TRUE(page->control(RawRecoveryDialog::kBack).enabled) << c.name;
        EXPECT_TRUE(page->scans().empty()) << c.name;
    }
}

TEST_F(RawPages, AScanListsHitsOfTheChosenVolumeByCategoryAndSavesTheCheckedOnes) {
    auto page = openPage();
    page->control(RawRecoveryDialog::kLoadDefault).checked = false;
    page->control(RawRecoveryDialog::kSignaturePath).text = signatureFile();
    page->command(RawRecoveryDialog::kParse);
    page->worker().join();
    EXPECT_EQ(platform.texts().back(), "done..");
    EXPECT_TRUE(page->control(RawRecoveryDialog::kParse).enabled);
    EXPECT_TRUE(page->control(RawRecoveryDialog::kBack).enabled);
    EXPECT_FALSE(page->control(RawRecoveryDialog::kChooseSignatures).enabled);
    EXPECT_EQ(page->control(RawRecoveryDialog::kStatus).text,
              "Scanning processing done.Select save button to save the data");

    CXHtmlTree& tree = page->tree;
    const auto roots = tree.children(kTreeRoot);
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(tree.text(roots[0]), "RAW RECOVERY ");
    const auto categories = tree.children(roots[0]);
    ASSERT_EQ(categories.size(), 1u);
    EXPECT_EQ(tree.text(categories[0]), "Pictures (3)");

    tree.clickLabel(categories[0]);
    ASSERT_EQ(page->control(RawRecoveryDialog::kList).rows.size(), 3u);
    EXPECT_EQ(page->control(RawRecoveryDialog::kList).rows[0][0], "4096 .jpg");
    EXPECT_EQ(page->control(RawRecoveryDialog::kList).rows[2][0], "131072 .png");
    tree.clickLabel(roots[0]);
    EXPECT_TRUE(page->control(RawRecoveryDialog::kList).rows.empty());

    platform.messages.clear();
    page->command(RawRecoveryDialog::kSave);
    EXPECT_EQ(platform.texts(), (std::vector<std::string>{"Please Select item from tree to save"}));

    const auto hits = tree.children(categories[0]);
    tree.setItemCheck(hits[0], true);
    tree.setItemCheck(hits[2], true);
    platform.folders.push_back((folder / "out").string());
    page->command(RawRecoveryDialog::kSave);
    page->worker().join();
    EXPECT_EQ(platform.lastFolderTitle, "Please choose a folder.");
    EXPECT_EQ(page->lastSave().saved, 2u);
    EXPECT_EQ(platform.texts().back(), "Saved 2 file(s) in " + (folder / "out").string() + ".");
    std::ifstream jpg(folder / "out" / "4096.jpg", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(jpg), {}};
    ASSERT_EQ(bytes.size(), 702u);
    EXPECT_EQ(bytes.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_TRUE(fs::exists(folder / "out" / "131072.png"));

    // A Stop left over from before does not empty the next scan; a second Parse adds a
    // second root and its own hits.
    page->command(RawRecoveryDialog::kStop);
    page->command(RawRecoveryDialog::kParse);
    page->worker().join();
    EXPECT_EQ(tree.children(kTreeRoot).size(), 2u);
    EXPECT_EQ(page->scans().size(), 2u);
    EXPECT_EQ(page->scans()[1].engine->signatureEntries.size(), 2u);
    EXPECT_EQ(page->scans()[1].engine->hits.size(), 3u);
}

TEST_F(RawPages, TheEditorAppendsRecordsAndNeverEmptiesAChosenFile) {
    const std::string path = signatureFile();  // two records already
    RawSettingDlg editor(platform);
    editor.initialise();
    EXPECT_EQ(editor.caption(), "Prendle v22.0");
    EXPECT_EQ(editor.control(1307).tooltip.rfind("here enter the file signature", 0), 0u);
    editor.command(RawSettingDlg::kSave);
    EXPECT_EQ(platform.texts().back(), "Select valid file to save the entries.");

    platform.files.push_back(path);
    editor.command(RawSettingDlg::kChoose);
    EXPECT_EQ(editor.control(RawSettingDlg::kPath).text, path);
    editor.command(RawSettingDlg::kSave);
    EXPECT_EQ(platform.texts().back(), "extention length is zero..");
    editor.control(RawSettingDlg::kExtension).text = "gif";
    editor.command(RawSettingDlg::kSave);
    EXPECT_EQ(platform.texts().back(), "signature length is zero..");
    editor.control(RawSettingDlg::kStartSignature).text = "47,49,46,38";
    editor.control(RawSettingDlg::kEndSignature).text = "00,3b";
    editor.control(RawSettingDlg::kCategory).text = "Drawings";
    editor.command(RawSettingDlg::kSave);
    EXPECT_EQ(platform.texts().back(), "everything initialized well.....");
    editor.control(RawSettingDlg::kExtension).text = "gif2";
    editor.command(RawSettingDlg::kSave);
    EXPECT_EQ(platform.texts().back(), "everything initialized well.....");
    editor.command(RawSettingDlg::kOk);
    EXPECT_TRUE(editor.closeRequested());

    auto loaded = readSignatureFile(path);
    ASSERT_TRUE(loaded) << loaded.error().message;
    ASSERT_EQ(loaded.value().size(), 4u);
    EXPECT_EQ(loaded.value()[2].rule.categoryText(), "Drawings");
    EXPECT_EQ(loaded.value()[3].rule.extensionText(), "gif2");
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(static_cast<uint8_t>(bytes[3 * 173 + 35]), 3u);

    platform.files.push_back(std::nullopt);
    RawSettingDlg second(platform);
    second.initialise();
    second.command(RawSettingDlg::kChoose);
    EXPECT_EQ(platform.texts().back(), "File can not be created");
}

}  // namespace
}  // namespace prendle::raw
