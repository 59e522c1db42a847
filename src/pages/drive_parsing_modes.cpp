#include "pages/drive_parsing_modes.h"

#include "disk/disk_export.h"
#include "disk/session.h"
#include "pages/populate_drive_dlg.h"
#include "pages/vhd_input_dialog.h"

namespace prendle::pages {

using ui::ControlKind;

namespace {
uint64_t decimal(const std::string& text) {
    try {
        return std::stoull(text);
    } catch (const std::exception&) {
        return 0;
    }
}

// The export's reports, carried to the page's controls on the interface thread.
class PageExportListener : public ExportListener {
public:
    explicit PageExportListener(DriveParsingModes& page) : page_(page) {}
    void showMessage(const std::string& text) override {
        page_.fromWorker([&] { page_.message(text); });
    }
    void setStatus(const std::string& text) override {
        page_.fromWorker([&] { page_.control(DriveParsingModes::kStatus).text = text; });
    }
    void setProgressRange(uint32_t lower, uint32_t upper) override {
        page_.fromWorker([&] {
            page_.control(DriveParsingModes::kProgress).rangeLow = lower;
            page_.control(DriveParsingModes::kProgress).rangeHigh = upper;
        });
    }
    void setProgressPos(uint32_t position) override {
        page_.fromWorker([&] { page_.control(DriveParsingModes::kProgress).position = position; });
    }
    void setControlsEnabled(bool enabled) override {
        page_.fromWorker([&] {
            for (int id : {DriveParsingModes::kNext, DriveParsingModes::kBack,
                           DriveParsingModes::kSaveImage, DriveParsingModes::kSaveDiskImage})
                page_.control(id).enabled = enabled;
        });
    }
    void setProgressVisible(bool visible) override {
        page_.fromWorker([&] {
            page_.control(DriveParsingModes::kProgress).visible = visible;
            page_.control(DriveParsingModes::kStop).visible = visible;
        });
    }

private:
    DriveParsingModes& page_;
};
}  // namespace

DriveParsingModes::~DriveParsingModes() {
    stopExport = true;
    finishWorker(worker_);
}

void DriveParsingModes::onInit() {
    add(kDriveLabel, ControlKind::Label, "Currently Selected Drive :");
    add(kDrivePath, ControlKind::Label);
    add(kStandardScan, ControlKind::Radio, "Standard Scan");
    add(kAdvanceScan, ControlKind::Radio, "Advance Scan");
    add(kGptFormat, ControlKind::CheckBox, "GPT format");
    add(kGptNote, ControlKind::Label, "* Check If Partition type is GPT");
    add(kNoSkip, ControlKind::CheckBox, "Do not Skip Volume Size While Parsing in Advance  Scan ");
    add(kCustomSetting, ControlKind::CheckBox, "Custom Setting:");
    add(kStartLabel, ControlKind::Label, "Starting Sector:");
    add(kStartEdit, ControlKind::Edit, "0");
    add(kEndLabel, ControlKind::Label, "Ending Sector:");
    add(kEndEdit, ControlKind::Edit, "0");
    add(kSaveDiskImage, ControlKind::CheckBox, "Save Disk Image");
    add(kDestination, ControlKind::Edit).readOnly = true;
    add(kSaveImage, ControlKind::Button, "Save Image");
    add(kProgress, ControlKind::ProgressBar);
    addImageButton(kStop, 175, "Stop");
    add(kStatus, ControlKind::Label, "Choose any one of the mode and Click Next....");
    addImageButton(kBack, 160, "Back");
    addImageButton(kNext, 166, "Next");
    addHelpButton();

    control(kProgress).visible = false;
    control(kStop).visible = false;
    control(kSaveDiskImage).checked = false;
    control(kSaveImage).enabled = false;
    for (int id : {kStartLabel, kStartEdit, kEndLabel, kEndEdit}) control(id).enabled = false;

    if (auto* image = dynamic_cast<VhdInputDialog*>(parent())) {
        imagePath = image->path;
        // Sizes are shown in whole MiB: applying an unchanged field would cut off a
        // disk's last partial MiB.
        const std::string& sizeText = image->control(VhdInputDialog::kSizeEdit).text;
        session().overrides.diskBytes =
            sizeText != image->headerSizeText ? decimal(sizeText) * 1048576 : 0;
        if (image->control(VhdInputDialog::kDynamicDisk).checked) {
            session().overrides.blockBytes =
                static_cast<uint32_t>(decimal(image->control(VhdInputDialog::kBlockSizeEdit).text));
            session().overrides.blockCount =
                decimal(image->control(VhdInputDialog::kBlockCountEdit).text) & 0xFFFFFFFFull;
        }
    }
    if (auto* vdi = dynamic_cast<FileReadSeekVdi*>(session().reader.get())) {
        vdi->overrides = session().overrides;
        // Opened again only to pick up the typed sizes; the volume list reports failures.
        (void)vdi->open(imagePath);
    }
    control(kDrivePath).text = imagePath;
    chooseStandard();
}

void DriveParsingModes::chooseStandard() {
    control(kStandardScan).checked = true;
    control(kAdvanceScan).checked = false;
    control(kCustomSetting).enabled = false;
    control(kNoSkip).enabled = false;
    if (control(kCustomSetting).checked) {
        control(kCustomSetting).checked = false;
        for (int id : {kStartLabel, kStartEdit, kEndLabel, kEndEdit}) control(id).enabled = false;
    }
    changed();
}

void DriveParsingModes::chooseAdvanced() {
    control(kStandardScan).checked = false;
    control(kAdvanceScan).checked = true;
    control(kCustomSetting).enabled = true;
    control(kNoSkip).enabled = true;
    changed();
}

void DriveParsingModes::saveImage() {
    message("Make sure you have sufficient disk space at saving location of Image File");
    auto folder = platform_.chooseFolder(this, "Please choose a folder.");
    if (!folder) return;
    exportDestination = exportDestinationName(*folder, imagePath, pathExists);
    control(kDestination).text = exportDestination;
    changed();
    auto* image = dynamic_cast<VhdInputDialog*>(ancestor(VhdInputDialog::kTemplate));
    ExportRequest request{imagePath, imageKindOf(imagePath, image ? image->imageType : kVdiImage),
                          exportDestination};
    worker_.start([this, request](ui::JobContext&) {
        PageExportListener listener(*this);
        (void)runDiskExport(session(), request, listener, stopExport);
    });
}

void DriveParsingModes::next(int mode) {
    auto page = std::make_unique<PopulateDriveDlg>(platform_);
    page->imagePath = imagePath;
    page->scanMode = mode;
    page->gptEnabled = control(kGptFormat).checked;
    page->doNotSkip = control(kNoSkip).checked;
    if (control(kCustomSetting).checked) {
        page->customStart = decimal(control(kStartEdit).text);
        page->customEnd = decimal(control(kEndEdit).text);
        page->hasCustomRange = true;
    }
    goNext(std::move(page));
}

void DriveParsingModes::command(int id) {
    switch (id) {
        case kStandardScan:
            chooseStandard();
            return;
        case kAdvanceScan:
            chooseAdvanced();
            return;
        case kCustomSetting:
            control(id).checked = !control(id).checked;
            for (int c : {kStartLabel, kStartEdit, kEndLabel, kEndEdit})
                control(c).enabled = control(id).checked;
            changed();
            return;
        case kGptFormat:
        case kNoSkip:
            control(id).checked = !control(id).checked;
            changed();
            return;
        case kSaveDiskImage:
            control(id).checked = !control(id).checked;
            control(kSaveImage).enabled = control(id).checked;
            changed();
            return;
        case kSaveImage:
            saveImage();
            return;
        case kStop:
            // The export may have ended while the question was showing; a stop meant for
            // it must not cut the next one short.
            if (message("Are you sure to stop the running process?", ui::Icon::Question,
                        ui::Buttons::YesNo) == ui::Answer::Yes &&
                worker_.running())
                stopExport = true;
            return;
        case kNext:
            next(control(kStandardScan).checked ? 1 : 2);
            return;
        case kStandardCommand:
            next(1);
            return;
        case kAdvancedCommand:
            next(2);
            return;
        case kBack:
            if (worker_.running()) return;
            goBack();
            return;
        default:
            Page::command(id);
    }
}

}  // namespace prendle::pages
