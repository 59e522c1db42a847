#include "pages/parce_mode_ntfs_dlg.h"

#include <cctype>

#include "common/text.h"
#include "disk/run_state.h"
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
    std::string name = volume.fsName;
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    typePrefix = name.substr(0, 3);
    const std::string prefix = toLowerAscii(typePrefix);
    if (prefix == "fat" || prefix == "exf") control(kDeep).visible = false;
    if (prefix == "ext") {
        control(kDeep).visible = false;
        control(kAdvanced).visible = false;
    }
    if (prefix == "hfs") control(kAdvanced).visible = false;
    choose(1);
}

void ParceModeNtfsDlg::choose(int mode) {
    g_driveFormatted = false;
    control(kFormatted).checked = false;
    const bool advanced = mode == 2;
    for (int id : {kMaxLabel, kMaxEdit, kMaxNote}) control(id).visible = advanced;
    control(kFormatted).visible = advanced && toLowerAscii(typePrefix) == "fat";
    control(kStandard).checked = mode == 1;
    control(kAdvanced).checked = mode == 2;
    control(kDeep).checked = mode == 3;
    recoveryMode = mode;
    changed();
}

void ParceModeNtfsDlg::command(int id) {
    switch (id) {
        case kStandard:
            choose(1);
            return;
        case kAdvanced:
            choose(2);
            return;
        case kDeep:
            choose(3);
            return;
        case kFormatted:
            control(id).checked = !control(id).checked;
            g_driveFormatted = control(id).checked;
            changed();
            return;
        case kNext:
            if (recoveryMode == 2) {
                message("The advanced input page is not available yet.");
            } else if (recoveryMode == 1 || recoveryMode == 3) {
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
