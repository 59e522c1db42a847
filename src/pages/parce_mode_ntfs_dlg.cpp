#include "pages/parce_mode_ntfs_dlg.h"

#include <algorithm>

#include "disk/session.h"
#include "fs/file_systems.h"
#include "pages/populate_drive_dlg.h"

namespace prendle::pages {

using ui::ControlKind;

void ParceModeNtfsDlg::onInit() {
    add(kGroup, ControlKind::Group, "Select Recovery Mode:");
    add(kStandard, ControlKind::Radio, "Standard");
    add(kAdvanced, ControlKind::Radio, "Advanced");
    add(kDeep, ControlKind::Radio, "Deep");
    add(kMaxLabel, ControlKind::Label, "Please Enter Max File Systems to Find :");
    add(kMaxEdit, ControlKind::Edit, "3");
    add(kMaxNote, ControlKind::Label, "( By  Default  it's  = 3 )");
    add(kFormatted, ControlKind::CheckBox, "Is Drive Formated..?");
    addImageButton(kBack, 160, "Back");
    addImageButton(kNext, 166, "Next");
    addHelpButton();
    for (int id : {kMaxLabel, kMaxEdit, kMaxNote, kFormatted}) control(id).visible = false;

    if (prevPageId == PopulateDriveDlg::kTemplate)
        if (auto* list = dynamic_cast<PopulateDriveDlg*>(parent())) volume = list->selectedVolume;
    // The modes come from the file-system table; a kind not built yet offers Standard.
    const fs::FileSystemType* type = fs::findFileSystem(volume.kind);
    auto offers = [type](fs::ParseMode mode) {
        return type != nullptr &&
               std::find(type->modes.begin(), type->modes.end(), mode) != type->modes.end();
    };
    control(kAdvanced).visible = offers(fs::ParseMode::Advanced);
    control(kDeep).visible = offers(fs::ParseMode::Deep);
    offersFormattedChoice_ = type != nullptr && type->offersFormattedChoice;
    choose(fs::ParseMode::Standard);
}

void ParceModeNtfsDlg::choose(fs::ParseMode mode) {
    session().driveFormatted = false;
    control(kFormatted).checked = false;
    const bool advanced = mode == fs::ParseMode::Advanced;
    for (int id : {kMaxLabel, kMaxEdit, kMaxNote}) control(id).visible = advanced;
    control(kFormatted).visible = advanced && offersFormattedChoice_;
    control(kStandard).checked = mode == fs::ParseMode::Standard;
    control(kAdvanced).checked = advanced;
    control(kDeep).checked = mode == fs::ParseMode::Deep;
    recoveryMode = mode;
    changed();
}

void ParceModeNtfsDlg::command(int id) {
    switch (id) {
        case kStandard:
            choose(fs::ParseMode::Standard);
            return;
        case kAdvanced:
            choose(fs::ParseMode::Advanced);
            return;
        case kDeep:
            choose(fs::ParseMode::Deep);
            return;
        case kFormatted:
            control(id).checked = !control(id).checked;
            session().driveFormatted = control(id).checked;
            changed();
            return;
        case kNext:
            if (recoveryMode == fs::ParseMode::Advanced) {
                message("The advanced input page is not available yet.");
            } else {
                goNext(std::make_unique<browser::VolumeScanDlg>(platform_));
            }
            return;
        case kBack:
            goBack();
            return;
        default:
            Page::command(id);
    }
}

}  // namespace prendle::pages
