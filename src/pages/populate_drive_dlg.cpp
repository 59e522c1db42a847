#include "pages/populate_drive_dlg.h"

#include <algorithm>
#include <cctype>

#include "common/text.h"
#include "disk/image_kind.h"
#include "disk/session.h"
#include "pages/parce_mode_ntfs_dlg.h"
#include "pages/vhd_input_dialog.h"
#include "raw/raw_recovery_dialog.h"

namespace prendle::pages {

using ui::ControlKind;

namespace {
int64_t leadingNumber(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        return 0;
    }
}
const int kCustomFields[] = {1133, 1134, 1142, 1143, 1145, 1146, 1147, 1148, 1149, 1151, 1152};
}  // namespace

PopulateDriveDlg::~PopulateDriveDlg() {
    stopSearch();
    finishWorker(worker_);
}

void PopulateDriveDlg::onInit() {
    ui::Control& list = add(kList, ControlKind::ListView);
    list.columns = {"Volume", "File System", "Volume Size", "Start Sector"};
    addImageButton(kFilter, 164, "Filter volume entries.");
    control(kFilter).text = "Filter Entries";
    addImageButton(kAddCustom, 159, "Add Custom Volume entry.");
    control(kAddCustom).text = "Add Custom Volume";
    add(kCustomBox, ControlKind::CheckBox, "Custom Settings For Selected Volume ");
    add(1133, ControlKind::Group);
    add(kSelectedLabel, ControlKind::Label, "Selected Volume :");
    add(kSelectedValue, ControlKind::Label);
    add(kStartLabel, ControlKind::Label, "Start Sector:");
    add(kStartEdit, ControlKind::Edit, "0");
    add(kStartSpin, ControlKind::SpinButton);
    add(kEndLabel, ControlKind::Label, "End Sector :");
    add(kEndEdit, ControlKind::Edit, "0");
    add(kEndSpin, ControlKind::SpinButton);
    add(kTreatLabel, ControlKind::Label, "Treat file system as:");
    add(kTreatAs, ControlKind::ComboBox).items = {"EXTX", "FAT16", "FAT32", "FAT64",
                                                  "HFS+", "NTFS",  "RAW"};
    add(kProgress, ControlKind::ProgressBar);
    add(kStatus, ControlKind::Label);
    addImageButton(kStop, 175, "Stop");
    addImageButton(kBack, 160, "Back");
    addImageButton(kNext, 166, "Next");
    addHelpButton();

    control(kCustomBox).enabled = false;
    control(kAddCustom).enabled = false;
    for (int id : kCustomFields) control(id).enabled = false;
    if (scanMode == 1) {
        control(kProgress).rangeLow = 0;
        control(kProgress).rangeHigh = 1000;
        standardSearch();
        control(kProgress).position = 1000;
    } else {
        advancedSearch();
    }
}

bool PopulateDriveDlg::createReader() {
    if (session().sourceDialogId != kImagePageDialogId) return session().reader != nullptr;
    auto* image = dynamic_cast<VhdInputDialog*>(ancestor(VhdInputDialog::kTemplate));
    const int type = image ? image->imageType : kNoImage;
    if (type == kNoImage) return session().reader != nullptr;
    // Every image kind of the first page gets its reader here, flat disks included.
    return session().makeReaderFor(imageKindOf(imagePath, type)) != nullptr;
}

void PopulateDriveDlg::standardSearch() {
    control(kAddCustom).visible = false;
    if (!createReader()) {
        message("Information lost ..go back and parse again");
        return;
    }
    if (!session().reader->open(imagePath)) {
        message("file not opened..");
        return;
    }
    records.clear();
    partition_ =
        std::make_unique<Partition>(*session().reader, static_cast<VolumeSearchListener&>(*this));
    partition_->gptEnabled = gptEnabled;
    (void)partition_->standardSearch();
    for (size_t i = 0; i < records.size(); ++i) records[i].indexText = std::to_string(i);
    rowVolumes_ = records;
    showRows();
    control(kCustomBox).enabled = !records.empty();
    control(kFilter).enabled = true;
    control(kProgress).visible = false;
    control(kStop).visible = false;
    control(kStatus).text = "Finished Scanning.";
    control(kStatus).text = "Select volume and click next button...";
    changed();
}

void PopulateDriveDlg::advancedSearch() {
    control(kAddCustom).enabled = false;
    control(kNext).enabled = false;
    partition_.reset();
    if (!createReader() || !session().reader->open(imagePath)) {
        control(kNext).enabled = true;
        message("file not opened..");
        return;
    }
    partition_ =
        std::make_unique<Partition>(*session().reader, static_cast<VolumeSearchListener&>(*this));
    partition_->skipVolumeSize = !doNotSkip;
    if (hasCustomRange) {
        partition_->customStart = customStart;
        partition_->customEnd = customEnd;
    }
    records.clear();
    rowVolumes_.clear();
    showRows();
    searching_ = true;
    worker_.start([this](ui::JobContext&) {
        partition_->advancedSearch(session().totalSectors());
        fromWorker([this] {
            control(kStatus).text = "Scanned Partitions";
            plainMessage("populated partitions....");
            control(kStatus).text = "Finished Scanning.";
            control(kCustomBox).enabled = !records.empty();
            control(kAddCustom).enabled = true;
            control(kNext).enabled = true;
            control(kProgress).visible = false;
            control(kStop).visible = false;
            control(kStatus).text = "Select volume and click next button...";
            searching_ = false;
        });
    });
}

void PopulateDriveDlg::setStatus(const std::string& text) {
    if (searching_) {
        fromWorker([&] { control(kStatus).text = text; });
    } else {
        control(kStatus).text = text;
    }
}

void PopulateDriveDlg::addVolume(const VolumeInfo& volume, bool rowAtTop) {
    if (!searching_) {
        records.push_back(volume);
        return;
    }
    fromWorker([&] {
        records.push_back(volume);
        insertRow(volume, rowAtTop);
    });
}

void PopulateDriveDlg::setProgressRange(uint32_t lower, uint32_t upper) {
    fromWorker([&] {
        control(kProgress).rangeLow = lower;
        control(kProgress).rangeHigh = upper;
    });
}

void PopulateDriveDlg::setProgressPos(uint32_t position) {
    fromWorker([&] { control(kProgress).position = position; });
}

void PopulateDriveDlg::setFilterEnabled(bool enabled) {
    fromWorker([&] { control(kFilter).enabled = enabled; });
}

void PopulateDriveDlg::showRows() {
    ui::Control& list = control(kList);
    list.rows.clear();
    list.selection = -1;
    for (const VolumeInfo& v : rowVolumes_)
        list.rows.push_back({v.indexText, v.fsName, v.sizeText, std::to_string(v.startSector)});
}

void PopulateDriveDlg::insertRow(const VolumeInfo& volume, bool atTop) {
    if (atTop) {
        rowVolumes_.insert(rowVolumes_.begin(), volume);
    } else {
        rowVolumes_.push_back(volume);
    }
    showRows();
}

void PopulateDriveDlg::listSelectionChanged(int id, int row) {
    Page::listSelectionChanged(id, row);
    if (id != kList || row < 0 || static_cast<size_t>(row) >= rowVolumes_.size()) return;
    const std::vector<std::string>& cells = control(kList).rows[static_cast<size_t>(row)];
    control(kSelectedValue).text = cells[0];
    control(kStartEdit).text = cells[3];
    const int64_t start = leadingNumber(cells[3]);
    const int64_t size = leadingNumber(cells[2]);
    control(kEndEdit).text = size > 0 ? std::to_string(start + size * 2048 - 1) : "0";
    const std::string fs = toLowerAscii(cells[1]);
    const auto& items = control(kTreatAs).items;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!fs.empty() && toLowerAscii(items[i]).rfind(fs, 0) == 0) {
            control(kTreatAs).selection = static_cast<int>(i);
            break;
        }
    }
    changed();
}

void PopulateDriveDlg::spin(int id, int delta) {
    const int edit = id == kStartSpin ? kStartEdit : id == kEndSpin ? kEndEdit : 0;
    if (edit == 0) return;
    int64_t value = leadingNumber(control(edit).text);
    if (delta < 0) ++value;
    if (delta > 0 && value > 0) --value;
    control(edit).text = std::to_string(value);
    changed();
}

void PopulateDriveDlg::addCustomVolume() {
    VolumeInfo custom{"CUSTOM ", "", std::to_string(records.size()), "0", 0};
    records.push_back(custom);
    control(kCustomBox).checked = true;
    for (int id : kCustomFields) control(id).enabled = true;
    const bool atTop = scanMode == 2;
    insertRow(custom, atTop);
    listSelectionChanged(kList, atTop ? 0 : static_cast<int>(rowVolumes_.size()) - 1);
    control(kStartEdit).text = "0";
    control(kEndEdit).text = "0";
    changed();
}

void PopulateDriveDlg::filterEntries() {
    rowVolumes_.clear();
    for (size_t i = 1; i < records.size(); ++i) {
        if (records[i].startSector != records[i - 1].startSector + 1) continue;
        VolumeInfo kept = records[i];
        kept.indexText = std::to_string(i);
        rowVolumes_.push_back(kept);
    }
    showRows();
    changed();
}

void PopulateDriveDlg::stopSearch() {
    if (partition_) partition_->stopRequested = true;
    worker_.stop();
}

void PopulateDriveDlg::next() {
    const int row = control(kList).selection;
    if (row < 0 || static_cast<size_t>(row) >= rowVolumes_.size()) {
        message("please select a valid volume.");
        return;
    }
    selectedVolume = rowVolumes_[static_cast<size_t>(row)];
    const std::vector<std::string>& cells = control(kList).rows[static_cast<size_t>(row)];
    bool raw = false;
    if (!control(kCustomBox).checked && customApplied) {
        selectedVolume.indexText = cells[0];
        selectedVolume.fsName = cells[1];
        std::string size = cells[2];
        if (auto mb = size.find("MB"); mb != std::string::npos) size.erase(mb, 2);
        size.erase(0, size.find_first_not_of(' '));
        size.erase(size.find_last_not_of(' ') + 1);
        selectedVolume.sizeText = size;
        selectedVolume.startSector = static_cast<uint64_t>(leadingNumber(cells[3]));
    }
    if (control(kCustomBox).checked) {
        customApplied = true;
        const int64_t start = leadingNumber(control(kStartEdit).text);
        const int64_t end = leadingNumber(control(kEndEdit).text);
        selectedVolume.startSector = static_cast<uint64_t>(std::max<int64_t>(start, 0));
        selectedVolume.sizeText = std::to_string(end > start ? (end - start + 1) / 2048 : 0);
        const int item = control(kTreatAs).selection;
        if (item >= 0) {
            const std::string chosen =
                toLowerAscii(control(kTreatAs).items[static_cast<size_t>(item)]);
            if (chosen == "ntfs") selectedVolume.fsName = "ntfs";
            if (chosen == "fat16") selectedVolume.fsName = "fat16";
            if (chosen == "fat32") selectedVolume.fsName = "fat32";
            if (chosen == "fat64") selectedVolume.fsName = "fat64";
            if (chosen == "extx") selectedVolume.fsName = "extX";
            if (chosen == "hfs+") selectedVolume.fsName = "HFS+";
            raw = chosen == "raw";
        }
    }
    selectedVolume.kind = raw ? FileSystemKind::Raw : fileSystemKindFromName(selectedVolume.fsName);
    if (raw) {
        selectedVolume.fsName = "RAW";
        goNext(std::make_unique<raw::RawRecoveryDialog>(platform_, selectedVolume,
                                                        session().reader.get()));
        return;
    }
    if (toLowerAscii(selectedVolume.fsName) == "unknown") {
        message("can not parse unknown volume");
        return;
    }
    goNext(std::make_unique<ParceModeNtfsDlg>(platform_, kTemplate));
}

void PopulateDriveDlg::command(int id) {
    switch (id) {
        case kCustomBox:
            control(id).checked = !control(id).checked;
            for (int c : kCustomFields) control(c).enabled = control(id).checked;
            changed();
            return;
        case kAddCustom:
            addCustomVolume();
            return;
        case kFilter:
            filterEntries();
            return;
        case kStop:
            if (partition_) partition_->stopRequested = true;
            control(kNext).enabled = true;
            changed();
            return;
        case kNext:
            next();
            return;
        case kBack:
            stopSearch();
            finishWorker(worker_);
            goBack();
            return;
        default:
            Page::command(id);
    }
}

}  // namespace prendle::pages
