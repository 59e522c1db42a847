// Walks the wizard in real Qt windows (offscreen) on the bundled sample image, from the
// first page to the recovery mode page, and saves a screenshot of every page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <cstdlib>
#include <deque>

#include "browser/volume_scan_dlg.h"
#include "disk/session.h"
#include "gui/page_window.h"
#include "gui/qt_platform.h"
#include "pages/about_box_dlg.h"
#include "pages/drive_parsing_modes.h"
#include "pages/parce_mode_ntfs_dlg.h"
#include "pages/populate_drive_dlg.h"
#include "pages/vhd_input_dialog.h"
#include "raw/raw_recovery_dialog.h"
#include "raw/raw_setting_dlg.h"

namespace prendle::gui {
namespace {

// Real windows; the choosers and message boxes answer from the test.
class ScriptedQtPlatform : public QtPlatform {
public:
    ui::Answer messageBox(ui::Page*, const std::string& text, const std::optional<std::string>&,
                          ui::Icon, ui::Buttons) override {
        messages.push_back(text);
        return answer;
    }
    std::optional<std::string> openFile(ui::Page*, const std::string&,
                                        const std::string&) override {
        return file;
    }
    std::optional<std::string> chooseFolder(ui::Page*, const std::string&) override {
        return folder;
    }
    void exitProcess(int) override {}
    std::string file;
    std::string folder;
    ui::Answer answer = ui::Answer::No;
    std::vector<std::string> messages;
};

std::string screenshotFolder() {
    std::string folder = std::string(PRENDLE_BINARY_DIR) + "/screenshots";
    QDir().mkpath(QString::fromStdString(folder));
    return folder;
}

void shoot(QtPlatform& platform, ui::Page& page, const std::string& name) {
    PageWindow* window = platform.windowOf(&page);
    window->refresh();
    window->adjustSize();
    ASSERT_TRUE(window->grab().save(QString::fromStdString(screenshotFolder() + "/" + name)));
}

TEST(WizardWindows, FromTheImageToASavedFolderWithAScreenshotOfEveryPage) {
    const std::string image = std::string(PRENDLE_BINARY_DIR) + "/sample.vdi";
    ASSERT_EQ(std::system(("xz -dc '" + std::string(PRENDLE_SOURCE_DIR) +
                           "/samples/sample.vdi.xz' > '" + image + "'")
                              .c_str()),
              0);
    ScriptedQtPlatform platform;
    platform.file = image;

    pages::VhdInputDialog first(platform);
    first.initialise();
    platform.showPage(&first, true);
    shoot(platform, first, "1-image-page.png");
    first.command(pages::VhdInputDialog::kBrowse);
    EXPECT_EQ(first.control(pages::VhdInputDialog::kSizeEdit).text, "64");
    shoot(platform, first, "2-image-chosen.png");

    first.command(pages::VhdInputDialog::kNext);
    auto* modes = dynamic_cast<pages::DriveParsingModes*>(first.child());
    ASSERT_NE(modes, nullptr);
    modes->command(pages::DriveParsingModes::kAdvanceScan);
    modes->command(pages::DriveParsingModes::kStandardScan);
    shoot(platform, *modes, "3-drive-parsing-modes.png");

    modes->command(pages::DriveParsingModes::kNext);
    auto* list = dynamic_cast<pages::PopulateDriveDlg*>(modes->child());
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->control(pages::PopulateDriveDlg::kList).rows.size(), 2u);
    list->listSelectionChanged(pages::PopulateDriveDlg::kList, 1);
    shoot(platform, *list, "4-volume-list.png");

    list->command(pages::PopulateDriveDlg::kNext);
    auto* mode = dynamic_cast<pages::ParceModeNtfsDlg*>(list->child());
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->volume.fsName, "NTFS");
    mode->command(pages::ParceModeNtfsDlg::kAdvanced);
    shoot(platform, *mode, "5-recovery-mode.png");
    mode->command(pages::ParceModeNtfsDlg::kStandard);

    mode->command(pages::ParceModeNtfsDlg::kNext);
    auto* browser = dynamic_cast<browser::VolumeScanDlg*>(mode->child());
    ASSERT_NE(browser, nullptr);
    platform.waitUntil([&] { return !browser->worker().running(); });
    browser->worker().join();
    QCoreApplication::processEvents();
    TreeItem documents = 0;
    for (TreeItem item : browser->tree.children(browser->rootItem()))
        if (browser->tree.text(item) == "Documents") documents = item;
    ASSERT_NE(documents, 0u);
    browser->treeItemExpanding(documents);
    browser->tree.expandTreeItem(documents, ExpandCode::Expand);
    browser->treeLabelClicked(documents);
    shoot(platform, *browser, "7-browser-after-parse.png");

    browser->setText(browser::VolumeScanDlg::kPattern, "txt|pdf");
    browser->command(browser::VolumeScanDlg::kSearch);
    platform.waitUntil([&] { return !browser->worker().running(); });
    browser->worker().join();
    EXPECT_EQ(browser->list.rows.size(), 3u);  // letter.txt, numbers.txt, the deleted report.pdf
    shoot(platform, *browser, "8-browser-after-search.png");

    const std::string saved = std::string(PRENDLE_BINARY_DIR) + "/saved-sample";
    QDir(QString::fromStdString(saved)).removeRecursively();
    QDir().mkpath(QString::fromStdString(saved));
    platform.folder = saved;
    platform.answer = ui::Answer::Yes;
    browser->tree.selectTreeItem(documents);
    browser->command(browser::VolumeScanDlg::kSave);
    platform.waitUntil([&] { return !browser->worker().running(); });
    browser->worker().join();
    EXPECT_TRUE(QFile::exists(QString::fromStdString(saved + "/Letters/letter.txt")));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(saved + "/report.pdf")));
    shoot(platform, *browser, "9-browser-after-save.png");

    // Back to the volume list: the first volume treated as RAW leads to the raw recovery
    // page, which carves it with the default signature file beside the program.
    browser->command(browser::VolumeScanDlg::kBack);
    mode->command(pages::ParceModeNtfsDlg::kBack);
    list->listSelectionChanged(pages::PopulateDriveDlg::kList, 0);
    list->command(pages::PopulateDriveDlg::kCustomBox);
    list->control(pages::PopulateDriveDlg::kTreatAs).selection = 6;  // "RAW"
    list->command(pages::PopulateDriveDlg::kNext);
    auto* raw = dynamic_cast<raw::RawRecoveryDialog*>(list->child());
    ASSERT_NE(raw, nullptr);
    raw->command(raw::RawRecoveryDialog::kParse);
    platform.waitUntil([&] { return !raw->worker().running(); });
    raw->worker().join();
    QCoreApplication::processEvents();
    shoot(platform, *raw, "10-raw-recovery.png");
    raw::RawSettingDlg editor(platform);
    editor.initialise();
    platform.showPage(&editor, true);
    shoot(platform, editor, "11-signature-editor.png");

    pages::CAboutBoxDlg about(platform);
    about.initialise();
    platform.showPage(&about, true);
    shoot(platform, about, "6-about.png");
    about.command(1);  // OK closes the box; Escape does not
    EXPECT_FALSE(platform.windowOf(&about)->isVisible());
}

}  // namespace
}  // namespace prendle::gui

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
