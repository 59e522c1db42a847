// The wizard's pages, headless: from the image to the recovery mode, with their texts.
#include <gtest/gtest.h>

#include <cstring>

#include "disk/session.h"
#include "fs/file_systems.h"
#include "pages/drive_parsing_modes.h"
#include "pages/parce_mode_ntfs_dlg.h"
#include "pages/populate_drive_dlg.h"
#include "pages/vhd_input_dialog.h"
#include "raw/raw_recovery_dialog.h"
#include "support/image_builder.h"
#include "support/scripted_platform.h"

namespace prendle::pages {
namespace {

using test::Bytes;

// A flat disk with an MBR: FAT32 at 2048 (4 MiB) and an unknown type at 10240 (2 MiB).
Bytes twoVolumeDisk() {
    Bytes disk(16384 * 512, 0);
    auto entry = [&](int index, uint8_t type, uint32_t first, uint32_t count) {
        size_t at = 446 + 16 * index;
        disk[at + 4] = type;
        test::putLe32(disk, at + 8, first);
        test::putLe32(disk, at + 12, count);
    };
    entry(0, 0x0C, 2048, 8192);
    entry(1, 0x99, 10240, 4096);
    return disk;
}

class Wizard : public testing::Test {
protected:
    void TearDown() override { first.reset(); }

    VhdInputDialog& start() {
        first = std::make_unique<VhdInputDialog>(platform);
        first->initialise();
        return *first;
    }
    // Image page → drive parsing modes → volume list on a disk image file.
    PopulateDriveDlg& toVolumeList(const std::string& path, bool fixed) {
        VhdInputDialog& image = start();
        platform.files.push_back(path);
        if (fixed) image.command(VhdInputDialog::kFixedDisk);
        image.command(VhdInputDialog::kBrowse);
        image.command(VhdInputDialog::kNext);
        auto* modes = dynamic_cast<DriveParsingModes*>(image.child());
        EXPECT_NE(modes, nullptr);
        modes->command(DriveParsingModes::kNext);
        return *dynamic_cast<PopulateDriveDlg*>(modes->child());
    }

    test::ScriptedPlatform platform;
    std::unique_ptr<VhdInputDialog> first;
};

TEST_F(Wizard, AVdiShowsItsHeaderAndItsSizesBecomeTheOverrides) {
    auto built = test::buildVdi(1 << 20, {true, false, true, true});
    test::TempFile file(built.file, ".VDI");
    VhdInputDialog& image = start();
    EXPECT_FALSE(image.control(VhdInputDialog::kNext).enabled);
    EXPECT_FALSE(image.control(VhdInputDialog::kSizeEdit).visible);
    platform.files.push_back(file.path());
    image.command(VhdInputDialog::kBrowse);
    EXPECT_EQ(platform.lastFilter, "vdi|*.vdi||");
    EXPECT_EQ(image.imageType, kVdiImage);
    EXPECT_EQ(image.control(VhdInputDialog::kVersionValue).text, "65537");
    EXPECT_EQ(image.control(VhdInputDialog::kSizeEdit).text, "4");
    EXPECT_EQ(image.control(VhdInputDialog::kBlockSizeEdit).text, "1048576");
    EXPECT_EQ(image.control(VhdInputDialog::kBlockCountEdit).text, "4");
    EXPECT_TRUE(image.control(VhdInputDialog::kSizeEdit).visible);
    EXPECT_EQ(image.session().reader, nullptr);  // the page only looked

    image.setText(VhdInputDialog::kBlockSizeEdit, "2097152");
    image.setText(VhdInputDialog::kSizeEdit, "5");
    image.command(VhdInputDialog::kNext);
    ASSERT_NE(image.child(), nullptr);
    EXPECT_EQ(image.child()->templateId(), DriveParsingModes::kTemplate);
    EXPECT_EQ(image.session().overrides.diskBytes, 5u * 1048576);
    EXPECT_EQ(image.session().overrides.blockBytes, 2097152u);
    EXPECT_EQ(image.session().overrides.blockCount, 4u);
    EXPECT_FALSE(image.visible());
}

TEST_F(Wizard, EmptySizeFieldsAreRefusedWithTheirOwnMessage) {
    auto built = test::buildVdi(1 << 20, {true});
    test::TempFile file(built.file, ".vdi");
    struct Case {
        int field;
        const char* text;
    };
    const Case cases[] = {{VhdInputDialog::kSizeEdit, "Hard disk Size cannot be left blank."},
                          {VhdInputDialog::kBlockSizeEdit, "Block Size cannot be left blank."},
                          {VhdInputDialog::kBlockCountEdit,
                           "Total number of Block count value cannot be left blank."}};
    for (const auto& c : cases) {
        VhdInputDialog& image = start();
        platform.files.push_back(file.path());
        image.command(VhdInputDialog::kBrowse);
        image.setText(c.field, "");
        image.command(VhdInputDialog::kNext);
        EXPECT_EQ(image.child(), nullptr) << c.text;
        ASSERT_FALSE(platform.messages.empty());
        EXPECT_EQ(platform.messages.back().text, c.text);
        EXPECT_FALSE(platform.messages.back().caption.has_value());  // the application's name
    }
}

TEST_F(Wizard, AFileWithoutTheVdiExtensionIsNamedButStillAccepted) {
    auto built = test::buildVdi(1 << 20, {true});
    test::TempFile file(built.file, ".img");
    VhdInputDialog& image = start();
    platform.files.push_back(file.path());
    image.command(VhdInputDialog::kBrowse);
    EXPECT_EQ(platform.texts().front(), "not a vdi file");
    EXPECT_EQ(platform.messages.front().caption, std::string("Prendle v22.0"));
    EXPECT_TRUE(image.control(VhdInputDialog::kNext).enabled);
}

TEST_F(Wizard, TheImagePagesOtherCommands) {
    VhdInputDialog& image = start();
    platform.files.push_back("/images/other.bin");
    image.command(VhdInputDialog::kBrowsePathOnly);
    EXPECT_EQ(image.path, "/images/other.bin");
    image.command(VhdInputDialog::kFixedDisk);
    EXPECT_TRUE(image.control(VhdInputDialog::kPathEdit).enabled);
    image.command(1273);
    EXPECT_FALSE(image.control(VhdInputDialog::kPathEdit).enabled);
    EXPECT_FALSE(image.control(VhdInputDialog::kBrowse).enabled);
    image.keyPressed(13);
    image.keyPressed(27);
    EXPECT_FALSE(platform.exitCode.has_value());
    image.command(ui::Page::kDefaultButton);
    EXPECT_EQ(platform.exitCode, 0);
    EXPECT_TRUE(platform.messages.empty());
}

TEST_F(Wizard, TheStandardSearchListsVolumesAndTheEndIsComputedFromTheSize) {
    test::TempFile disk(twoVolumeDisk(), ".raw");
    PopulateDriveDlg& list = toVolumeList(disk.path(), /*fixed=*/true);
    const auto& rows = list.control(PopulateDriveDlg::kList).rows;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"0", "FAT32", "4   MB", "2048"}));
    EXPECT_EQ(rows[1][1], "Unknown");
    EXPECT_EQ(list.control(PopulateDriveDlg::kStatus).text,
              "Select volume and click next button...");
    list.listSelectionChanged(PopulateDriveDlg::kList, 0);
    EXPECT_EQ(list.control(PopulateDriveDlg::kEndEdit).text, std::to_string(2048 + 4 * 2048 - 1));
    EXPECT_EQ(list.control(PopulateDriveDlg::kSelectedValue).text, "0");
    EXPECT_EQ(list.control(PopulateDriveDlg::kTreatAs).selection, 2);  // "FAT32"
    list.spin(PopulateDriveDlg::kStartSpin, -1);
    EXPECT_EQ(list.control(PopulateDriveDlg::kStartEdit).text, "2049");
}

TEST_F(Wizard, NextFromTheVolumeListFollowsTheChoices) {
    test::TempFile disk(twoVolumeDisk(), ".raw");
    PopulateDriveDlg& list = toVolumeList(disk.path(), true);

    list.command(PopulateDriveDlg::kNext);
    EXPECT_EQ(platform.texts().back(), "please select a valid volume.");

    list.listSelectionChanged(PopulateDriveDlg::kList, 1);
    list.command(PopulateDriveDlg::kNext);
    EXPECT_EQ(platform.texts().back(), "can not parse unknown volume");

    // Custom settings: treat the unknown volume as FAT32.
    list.command(PopulateDriveDlg::kCustomBox);
    list.control(PopulateDriveDlg::kTreatAs).selection = 2;
    list.command(PopulateDriveDlg::kNext);
    auto* mode = dynamic_cast<ParceModeNtfsDlg*>(list.child());
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->volume.fsName, "fat32");
    EXPECT_EQ(mode->volume.startSector, 10240u);
    EXPECT_EQ(mode->volume.sizeText, "2");

    mode->command(ParceModeNtfsDlg::kBack);
    EXPECT_EQ(list.child(), nullptr);
    list.control(PopulateDriveDlg::kTreatAs).selection = 6;  // "RAW"
    list.command(PopulateDriveDlg::kNext);
    auto* raw = dynamic_cast<raw::RawRecoveryDialog*>(list.child());
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->volume.startSector, 10240u);
}

TEST_F(Wizard, ACustomVolumeAndTheFilter) {
    test::TempFile disk(twoVolumeDisk(), ".raw");
    PopulateDriveDlg& list = toVolumeList(disk.path(), true);
    list.command(PopulateDriveDlg::kAddCustom);
    EXPECT_EQ(list.control(PopulateDriveDlg::kList).rows.back()[1], "CUSTOM ");
    EXPECT_TRUE(list.control(PopulateDriveDlg::kCustomBox).checked);
    list.command(PopulateDriveDlg::kCustomBox);  // untick: the row's own record goes on
    list.command(PopulateDriveDlg::kNext);
    auto* mode = dynamic_cast<ParceModeNtfsDlg*>(list.child());
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->volume.fsName, "CUSTOM ");
    mode->command(ParceModeNtfsDlg::kBack);
    list.command(PopulateDriveDlg::kFilter);
    EXPECT_TRUE(list.control(PopulateDriveDlg::kList).rows.empty());
}

TEST_F(Wizard, TheRecoveryModesOfferedFollowTheFileSystemTable) {
    // A file system registered here, as a new parser's table line would add it.
    fs::FileSystemType probe;
    probe.name = "probe";
    probe.volumeKinds = {FileSystemKind::Raw};
    probe.modes = {fs::ParseMode::Standard, fs::ParseMode::Advanced};
    probe.offersFormattedChoice = true;
    fs::registerFileSystem(probe);
    struct Case {
        const char* fsName;
        bool standard, advanced, deep, formattedBox;
    };
    const Case cases[] = {{"NTFS", true, true, true, false},
                          {"RAW", true, true, false, true},
                          {"Linux filesystem", true, false, false, false}};
    Session session;
    for (const auto& c : cases) {
        ParceModeNtfsDlg page(platform, -1);
        page.setSession(session);
        page.volume.fsName = c.fsName;
        page.volume.kind = fileSystemKindFromName(c.fsName);
        page.initialise();
        EXPECT_EQ(page.control(ParceModeNtfsDlg::kStandard).visible, c.standard) << c.fsName;
        EXPECT_EQ(page.control(ParceModeNtfsDlg::kAdvanced).visible, c.advanced) << c.fsName;
        EXPECT_EQ(page.control(ParceModeNtfsDlg::kDeep).visible, c.deep) << c.fsName;
        page.command(ParceModeNtfsDlg::kAdvanced);
        EXPECT_EQ(page.control(ParceModeNtfsDlg::kFormatted).visible, c.formattedBox) << c.fsName;
        page.command(ParceModeNtfsDlg::kFormatted);
        EXPECT_TRUE(session.driveFormatted);
        page.command(ParceModeNtfsDlg::kStandard);
        EXPECT_FALSE(session.driveFormatted);
        EXPECT_EQ(page.recoveryMode, fs::ParseMode::Standard);
    }
    fs::unregisterFileSystem("probe");
}

TEST_F(Wizard, BackKeepsTheEarlierChoicesAndExitAsksFirst) {
    test::TempFile disk(twoVolumeDisk(), ".raw");
    PopulateDriveDlg& list = toVolumeList(disk.path(), true);
    auto* modes = dynamic_cast<DriveParsingModes*>(list.parent());
    ASSERT_NE(modes, nullptr);
    modes->command(DriveParsingModes::kGptFormat);
    list.command(PopulateDriveDlg::kBack);
    EXPECT_EQ(modes->child(), nullptr);
    EXPECT_TRUE(modes->visible());
    EXPECT_TRUE(modes->control(DriveParsingModes::kGptFormat).checked);

    ui::Page::links.homePage = "https://prendle.example/";
    platform.answers.push_back(ui::Answer::No);
    modes->command(ui::Page::kCancel);
    EXPECT_FALSE(platform.exitCode.has_value());
    EXPECT_EQ(platform.messages.back().text, "Do you want to Close Application ?");
    platform.answers.push_back(ui::Answer::Yes);
    modes->command(ui::Page::kCancel);
    EXPECT_EQ(platform.exitCode, 0);
    EXPECT_EQ(platform.links.back(), "https://prendle.example/");
    ui::Page::links = {};
}

TEST_F(Wizard, TheExportRunsOnItsWorkerAndEndsWithTheSavedText) {
    auto built = test::buildVdi(1 << 20, {true, false, true});
    test::TempFile file(built.file, ".vdi");
    test::TempFolder out;
    VhdInputDialog& image = start();
    platform.files.push_back(file.path());
    image.command(VhdInputDialog::kBrowse);
    image.command(VhdInputDialog::kNext);
    auto& modes = *dynamic_cast<DriveParsingModes*>(image.child());
    EXPECT_FALSE(modes.control(DriveParsingModes::kSaveImage).enabled);
    modes.command(DriveParsingModes::kSaveDiskImage);
    EXPECT_TRUE(modes.control(DriveParsingModes::kSaveImage).enabled);
    platform.folders.push_back(out.path());
    modes.command(DriveParsingModes::kSaveImage);
    modes.exportWorker().join();
    EXPECT_EQ(platform.lastFolderTitle, "Please choose a folder.");
    EXPECT_EQ(platform.texts().front(),
              "Make sure you have sufficient disk space at saving location of Image File");
    EXPECT_EQ(test::readWholeFile(modes.exportDestination), built.disk);
    EXPECT_EQ(modes.control(DriveParsingModes::kStatus).text,
              "Image Saved,Choose any one of the mode and click next.");
    EXPECT_TRUE(modes.control(DriveParsingModes::kNext).enabled);
    EXPECT_FALSE(modes.control(DriveParsingModes::kProgress).visible);

    // A Stop confirmed after the export ended is dropped; the next export runs whole.
    platform.answers.push_back(ui::Answer::Yes);
    modes.command(DriveParsingModes::kStop);
    EXPECT_FALSE(modes.stopExport);
    EXPECT_EQ(platform.messages.back().icon, ui::Icon::Question);
    platform.folders.push_back(out.path());
    modes.command(DriveParsingModes::kSaveImage);
    modes.exportWorker().join();
    EXPECT_EQ(test::readWholeFile(modes.exportDestination), built.disk);
    EXPECT_EQ(modes.control(DriveParsingModes::kStatus).text,
              "Image Saved,Choose any one of the mode and click next.");
}

// The size field shows whole MiB; leaving it as shown must not cut the disk's last
// partial MiB from the export.
TEST_F(Wizard, AnUnchangedSizeFieldExportsTheWholeDisk) {
    std::vector<bool> stored(2049, false);
    stored.front() = stored.back() = true;
    auto built = test::buildVdi(512, stored);  // 1 MiB and one sector
    test::TempFile file(built.file, ".vdi");
    test::TempFolder out;
    VhdInputDialog& image = start();
    platform.files.push_back(file.path());
    image.command(VhdInputDialog::kBrowse);
    EXPECT_EQ(image.control(VhdInputDialog::kSizeEdit).text, "1");
    image.command(VhdInputDialog::kNext);
    auto& modes = *dynamic_cast<DriveParsingModes*>(image.child());
    modes.command(DriveParsingModes::kSaveDiskImage);
    platform.folders.push_back(out.path());
    modes.command(DriveParsingModes::kSaveImage);
    modes.exportWorker().join();
    EXPECT_EQ(test::readWholeFile(modes.exportDestination), built.disk);
}

TEST_F(Wizard, TheAdvancedSearchRunsOnItsWorkerWithRowsAtTheTop) {
    Bytes disk(8192 * 512, 0);
    for (uint64_t sector : {100ull, 3000ull}) {
        size_t at = sector * 512;
        std::memcpy(&disk[at], "\xEB\x52\x90NTFS    ", 11);
        test::putLe16(disk, at + 11, 512);
        test::putLe64(disk, at + 40, 2048);
    }
    test::TempFile file(disk, ".raw");
    VhdInputDialog& image = start();
    platform.files.push_back(file.path());
    image.command(VhdInputDialog::kFixedDisk);
    image.command(VhdInputDialog::kBrowse);
    image.command(VhdInputDialog::kNext);
    auto& modes = *dynamic_cast<DriveParsingModes*>(image.child());
    modes.command(DriveParsingModes::kAdvanceScan);
    modes.command(DriveParsingModes::kNext);
    auto& list = *dynamic_cast<PopulateDriveDlg*>(modes.child());
    list.searchWorker().join();
    const auto& rows = list.control(PopulateDriveDlg::kList).rows;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][3], "3000");  // the newest first
    EXPECT_EQ(rows[1][3], "100");
    EXPECT_EQ(platform.texts().back(), "populated partitions....");
    EXPECT_EQ(list.control(PopulateDriveDlg::kStatus).text,
              "Select volume and click next button...");
    EXPECT_TRUE(list.control(PopulateDriveDlg::kNext).enabled);
}

}  // namespace
}  // namespace prendle::pages
