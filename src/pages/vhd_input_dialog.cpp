#include "pages/vhd_input_dialog.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "common/file_handle.h"
#include "common/text.h"
#include "disk/file_read_seek_vdi.h"
#include "disk/file_read_seek_vhd.h"
#include "disk/file_read_seek_vmdk.h"
#include "pages/drive_parsing_modes.h"

namespace prendle::pages {

using ui::ControlKind;

namespace {
const int kPropertyIds[] = {1112, 1113, 1114, 1116, 1117, 1118, 1119, 1120, 1121, 1122};
}  // namespace

ImageKind imageKindFor(int imageType) {
    switch (imageType) {
        case kVhdImage:
            return ImageKind::Vhd;
        case kVmdkImage:
            return ImageKind::Vmdk;
        case kFlatImage:
            return ImageKind::Flat;
        default:
            return ImageKind::Vdi;
    }
}

ImageKind imageKindOf(const std::string& path, int imageType) {
    // The file's contents tell qcow2, VHDX, VMDK descriptors and the rest apart; the
    // browse button used decides only when they say nothing.
    auto detected = detectImageKind(path);
    if (detected && detected.value() != ImageKind::Flat) return detected.value();
    return imageKindFor(imageType);
}

void VhdInputDialog::onInit() {
    add(kInfoGroup, ControlKind::Group, "File Information:");
    add(kDynamicDisk, ControlKind::Radio, "Dynamic Disk");
    add(kFixedDisk, ControlKind::Radio, "Fixed Disk");
    add(kPathEdit, ControlKind::Edit);
    add(kBrowse, ControlKind::Button, "...");
    add(kBrowseVhd, ControlKind::Button, "VHD image...");
    add(kBrowseVmdk, ControlKind::Button, "VMDK image...");
    add(kSizeLabel, ControlKind::Label, "Size of HDD:");
    add(kSizeEdit, ControlKind::Edit);
    add(kMbUnit, ControlKind::Label, "MB");
    add(kVersionLabel, ControlKind::Label, "File Format Version:");
    add(kVersionValue, ControlKind::Label);
    add(kTrackLabel, ControlKind::Label, "Sector per track:");
    add(kTrackValue, ControlKind::Label);
    add(kBlockSizeLabel, ControlKind::Label, "Block Size:");
    add(kBlockSizeEdit, ControlKind::Edit);
    add(kBytesUnit, ControlKind::Label, "Bytes");
    add(kBlockCountLabel, ControlKind::Label, "Total no. of blocks:");
    add(kBlockCountEdit, ControlKind::Edit);
    add(kBlocksUnit, ControlKind::Label);
    addImageButton(kNext, 166, "Next");
    addHelpButton();

    control(kNext).enabled = false;
    control(kBrowse).enabled = false;
    control(kPathEdit).enabled = false;
    for (int id : kPropertyIds) control(id).visible = false;
    for (int id : {kSizeEdit, kBlockSizeEdit, kBlockCountEdit}) control(id).visible = false;
    chooseKind(true);
}

void VhdInputDialog::chooseKind(bool dynamic) {
    control(kDynamicDisk).checked = dynamic;
    control(kFixedDisk).checked = !dynamic;
    control(kPathEdit).text.clear();
    control(kPathEdit).enabled = !dynamic;
    control(kBrowse).enabled = true;
    for (int id : kPropertyIds) control(id).visible = false;
    for (int id : {kSizeEdit, kBlockSizeEdit, kBlockCountEdit}) control(id).visible = false;
    changed();
}

void VhdInputDialog::showProperties(bool all) {
    if (all) {
        for (int id : kPropertyIds) control(id).visible = true;
        for (int id : {kSizeEdit, kBlockSizeEdit, kBlockCountEdit}) control(id).visible = true;
    } else {
        for (int id : {1112, 1113, 1114, 1118, 1119, 1120}) control(id).visible = true;
        control(kSizeEdit).visible = true;
    }
}

void VhdInputDialog::browseDynamic(const std::string& chosen) {
    imageType = kVdiImage;
    session().sourceDialogId = kImagePageDialogId;
    path = chosen;
    FileReadSeekVdi reader;
    if (chosen.size() > 3 && !endsWithIgnoringCase(chosen, "vdi")) {
        message("not a vdi file");
    } else if (auto file = FileHandle::openRead(chosen)) {
        std::array<uint8_t, kVdiHeaderBytes> header{};
        auto got = file.value().readAt(0, header);
        if (got && got.value() == header.size()) {
            const VdiHeader h = decodeVdiHeader(header).value();
            control(kVersionValue).text = std::to_string(h.formatVersion);
            control(kTrackValue).text = std::to_string(h.sectorsPerTrack);
            control(kSizeEdit).text = std::to_string(h.diskBytes / 1048576);
            headerSizeText = control(kSizeEdit).text;
            control(kBlockSizeEdit).text = std::to_string(h.blockBytes);
            control(kBlockCountEdit).text = std::to_string(h.blockCount);
        }
    }
    if (!reader.open(chosen) && !reader.userMessage().empty())
        platform_.messageBox(nullptr, reader.userMessage(), std::string(ui::kCaption),
                             ui::Icon::Information, ui::Buttons::Ok);
    control(kPathEdit).text = chosen;
    showProperties(true);
}

void VhdInputDialog::browseFixed(const std::string& chosen) {
    if (chosen.empty()) return;
    path = chosen;
    control(kPathEdit).text = chosen;
    auto file = FileHandle::openRead(chosen);
    if (!file) {
        plainMessage("invalid handle ...");
        return;
    }
    auto size = file.value().size();
    control(kSizeEdit).text = std::to_string(size ? size.value() / 1048576 : 0);
    headerSizeText = control(kSizeEdit).text;
    for (int id : {kVersionValue, kTrackValue, kBlockSizeEdit, kBlockCountEdit})
        control(id).text = "0";
    // A flat disk gets a reader of its own on the later pages.
    imageType = kFlatImage;
    session().sourceDialogId = kImagePageDialogId;
    showProperties(false);
}

void VhdInputDialog::browseVhd(const std::string& chosen) {
    imageType = kVhdImage;
    session().sourceDialogId = kImagePageDialogId;
    path = chosen;
    auto reader = std::make_unique<FileReadSeekVHD>();
    if (!reader->open(chosen)) {
        message(reader->userMessage().empty() ? reader->lastError() : reader->userMessage());
    } else {
        const VhdFooter& footer = reader->footer();
        control(kVersionValue).text = std::to_string(footer.formatVersion >> 16) + "." +
                                      std::to_string(footer.formatVersion & 0xFFFF);
        control(kTrackValue).text = std::to_string(footer.sectorsPerTrack) + " sectors, " +
                                    std::to_string(footer.heads) + " heads, " +
                                    std::to_string(footer.cylinders) + " cylinders";
        control(kSizeEdit).text = std::to_string(footer.currentBytes / 1048576);
        headerSizeText = control(kSizeEdit).text;
        control(kMbUnit).text = "MB";
        control(kBlockSizeEdit).text = "0";
        control(kBlockCountEdit).text = "0";
    }
    control(kPathEdit).text = chosen;
    showProperties(true);
}

void VhdInputDialog::browseVmdk(const std::string& chosen) {
    imageType = kVmdkImage;
    session().sourceDialogId = kImagePageDialogId;
    path = chosen;
    FileReadSeekVmdk reader;
    if (!reader.open(chosen)) {
        message(reader.lastError());
    } else {
        const VmdkDescriptor& d = reader.descriptor();
        control(kVersionValue).text = d.version + " (" + d.createType + ")";
        control(kTrackValue).text = d.sectors;
        control(kSizeEdit).text = std::to_string(reader.totalSectors() / 2048);
        headerSizeText = control(kSizeEdit).text;
        control(kBlockSizeEdit).text = "0";
        control(kBlockCountEdit).text = "0";
    }
    control(kPathEdit).text = chosen;
    showProperties(true);
}

void VhdInputDialog::next() {
    if (path.empty()) return;
    if (control(kSizeEdit).text.empty()) {
        plainMessage("Hard disk Size cannot be left blank.");
        return;
    }
    if (control(kDynamicDisk).checked) {
        if (control(kBlockSizeEdit).text.empty()) {
            plainMessage("Block Size cannot be left blank.");
            return;
        }
        if (control(kBlockCountEdit).text.empty()) {
            plainMessage("Total number of Block count value cannot be left blank.");
            return;
        }
    }
    goNext(std::make_unique<DriveParsingModes>(platform_, kTemplate));
}

void VhdInputDialog::command(int id) {
    switch (id) {
        case kDynamicDisk:
            chooseKind(true);
            return;
        case kFixedDisk:
            chooseKind(false);
            return;
        case kBrowse: {
            const bool dynamic = control(kDynamicDisk).checked;
            auto chosen = platform_.openFile(this, "vdi", dynamic ? "*.vdi||" : "");
            if (!chosen) return;
            control(kNext).enabled = true;
            if (dynamic) {
                browseDynamic(*chosen);
            } else {
                browseFixed(*chosen);
            }
            changed();
            return;
        }
        case kBrowseVhd:
        case kBrowseVmdk:
        case kBrowseVdi: {
            auto chosen = platform_.openFile(this, "", "");
            if (!chosen) return;
            control(kNext).enabled = true;
            if (id == kBrowseVhd) browseVhd(*chosen);
            if (id == kBrowseVmdk) browseVmdk(*chosen);
            if (id == kBrowseVdi) browseDynamic(*chosen);
            changed();
            return;
        }
        case kBrowsePathOnly:
            if (auto chosen = platform_.openFile(this, "", "")) path = *chosen;
            return;
        case 1272:
        case 1273:
        case 1274:
            control(kPathEdit).text.clear();
            control(kPathEdit).enabled = false;
            control(kBrowse).enabled = false;
            changed();
            return;
        case kNext:
            next();
            return;
        default:
            Page::command(id);
    }
}

}  // namespace prendle::pages
