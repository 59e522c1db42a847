#include "raw/raw_recovery_dialog.h"

#include <filesystem>
#include <map>

#include "raw/raw_setting_dlg.h"

namespace prendle::raw {

using ui::ControlKind;

namespace {

constexpr char kDoneText[] = "Scanning processing done.Select save button to save the data.";
constexpr char kBusyText[] = "Please wait for other process to complete";
constexpr char kRootText[] = "RAW RECOVERY ";
constexpr int kFolderImage = 0;
constexpr int kFileImage = 1;
constexpr size_t kHitBatch = 256;

// Tree items of hits carry (scan + 1) in the high half and the hit's index in the low.
uint64_t hitData(size_t scan, size_t hit) {
    return (static_cast<uint64_t>(scan + 1) << 32) | static_cast<uint64_t>(hit);
}

uint64_t megabytesOf(const std::string& sizeText) {
    uint64_t value = 0;
    for (char c : sizeText) {
        if (c == ' ' && value == 0) continue;
        if (c < '0' || c > '9') break;
        if (value > (UINT64_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

std::string categoryLabel(const std::string& category) {
    return category.empty() ? "(no category)" : category;
}

}  // namespace

std::string programFolder() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return program.parent_path().string() + "/";
}

RawRecoveryDialog::RawRecoveryDialog(ui::Platform& platform, VolumeInfo chosenVolume,
                                     const readWriteInterface* reader)
    : Page(platform, kTemplate), volume(std::move(chosenVolume)), reader_(reader), worker_(*this) {}

RawRecoveryDialog::~RawRecoveryDialog() {
    worker_.stop();
    finishWorker(worker_);
}

void RawRecoveryDialog::onInit() {
    add(kFileGroup, ControlKind::Group,
        "Click Parse button to add default file settings or create your own file to process "
        "raw recovery.");
    add(kSignaturePath, ControlKind::Edit);
    add(kChooseSignatures, ControlKind::Button, "...");
    add(kLoadDefault, ControlKind::CheckBox, "Load Default Items").checked = true;
    addImageButton(kParse, 168, "Parse");
    addImageButton(kSetting, 173, "Setting");
    add(kSettingNote, ControlKind::Label, "[Add new signatures in \n new/existing file]");
    add(kTree, ControlKind::TreeView);
    add(kList, ControlKind::ListView).columns = {"File(s) List"};
    add(kProgress, ControlKind::ProgressBar);
    addImageButton(kPause, 169, "Pause");
    addImageButton(kResume, 170, "Resume");
    addImageButton(kStop, 175, "Stop");
    add(kStatus, ControlKind::Label);
    addImageButton(kBack, 160, "Back");
    addImageButton(kSave, 171, "Save");
    addHelpButton();
    add(kBrowse, ControlKind::Button, "Browse").visible = false;
    add(kOutputFolder, ControlKind::Edit).visible = false;

    tree.initialiseTree();
    tree.smartCheck = true;
    tree.onItemClicked = [this](TreeItem item) { treeLabelClicked(item); };
    outputFolder.clear();
    defaultSignaturePath = programFolder() + "FileSetting.txt";
    control(kSignaturePath).text = defaultSignaturePath;
    showWorkControls(false);
    control(kStatus).text = "Please select parse button to scan the default file.";
}

void RawRecoveryDialog::showWorkControls(bool visible) {
    for (int id : {kProgress, kPause, kResume, kStop}) control(id).visible = visible;
}

void RawRecoveryDialog::setIdleControls(bool afterScan) {
    control(kBack).enabled = true;
    control(kSetting).enabled = true;
    control(kParse).enabled = true;
    // After a scan the file choice stays locked, as the page has always done.
    control(kChooseSignatures).enabled = !afterScan;
    control(kSignaturePath).enabled = !afterScan;
    showWorkControls(false);
}

void RawRecoveryDialog::refuseParse() {
    setIdleControls(false);
    control(kStatus).text = kDoneText;
    changed();
}

void RawRecoveryDialog::parse() {
    if (worker_.running()) {
        message(kBusyText);
        return;
    }
    showWorkControls(true);
    // Each Parse builds its signature set afresh, so nothing is loaded twice.
    std::vector<LoadedSignature> signatures;
    const std::string named = control(kSignaturePath).text;
    bool defaultLoaded = false;
    if (control(kLoadDefault).checked) {
        auto loaded = readSignatureFile(defaultSignaturePath);
        if (loaded) {
            signatures = std::move(loaded.value());
            defaultLoaded = true;
        } else if (loaded.error().kind != ErrorKind::Io) {
            // A missing default file is passed over quietly; a broken one is said.
            message(loaded.error().message);
            refuseParse();
            return;
        }
    }
    if (!named.empty() && !(defaultLoaded && named == defaultSignaturePath)) {
        control(kStatus).text = "Processing.....";
        auto loaded = readSignatureFile(named);
        if (!loaded) {
            message(loaded.error().message);
            refuseParse();
            return;
        }
        signatures.insert(signatures.end(), loaded.value().begin(), loaded.value().end());
    }
    if (signatures.empty()) {
        message("Enter the info file first..");
        refuseParse();
        return;
    }
    auto newEngine = std::make_unique<myJpg>();
    if (auto added = newEngine->addSignatures(signatures); !added) {
        message(added.error().message);
        refuseParse();
        return;
    }
    if (reader_ == nullptr) {
        message("Please Restart the program to re begin necessary initialization...");
        refuseParse();
        return;
    }
    const uint64_t megabytes = megabytesOf(volume.sizeText);
    if (megabytes == 0) {
        plainMessage("zero size volume..");
        refuseParse();
        return;
    }
    // The scan reads the chosen volume from its first sector, never a stale origin.
    VolumeView view = VolumeView::toDiskEnd(*reader_, volume.startSector);
    view.length = std::min(view.length, checkedMul(megabytes, 1ull << 20).value_or(view.length));

    for (int id : {kBack, kChooseSignatures, kSignaturePath, kSetting, kParse})
        control(id).enabled = false;
    control(kStatus).text = "Processing.....";
    changed();
    scans_.push_back({std::move(newEngine), view});
    const size_t scanIndex = scans_.size() - 1;
    worker_.start([this, scanIndex](ui::JobContext& job) {
        myJpg& engine = *scans_[scanIndex].engine;
        const VolumeView scanView = scans_[scanIndex].view;
        TreeItem root = 0;
        std::map<std::string, TreeItem> categoryItems;
        std::map<std::string, uint64_t> counts;
        fromWorker([&] {
            root = tree.insertTreeItem(kRootText, kFolderImage, kFolderImage);
            for (const CarveRule& rule : engine.carveRules) {
                const std::string category = rule.categoryText();
                if (categoryItems.count(category)) continue;
                categoryItems[category] =
                    tree.insertTreeItem(categoryLabel(category), kFolderImage, kFolderImage, root);
            }
            tree.expandTreeItem(root, ExpandCode::Expand);
        });
        std::vector<size_t> found;
        auto flush = [&] {
            if (found.empty()) return;
            fromWorker([&] {
                for (size_t index : found) {
                    const std::string category = engine.ruleOf(engine.hits[index]).categoryText();
                    const TreeItem parent = categoryItems[category];
                    const TreeItem item =
                        tree.insertTreeItem(engine.hitText(index), kFileImage, kFileImage, parent);
                    tree.setItemData(item, hitData(scanIndex, index));
                    tree.setTreeItemText(parent, categoryLabel(category) + " (" +
                                                     std::to_string(++counts[category]) + ")");
                }
            });
            found.clear();
        };
        auto scanned = engine.carveVolume(scanView, job, [&](size_t index) {
            found.push_back(index);
            if (found.size() >= kHitBatch) flush();
        });
        flush();
        fromWorker([&] {
            if (!scanned) {
                message(scanned.error().message);
            } else {
                std::string details = std::to_string(scanned.value().hitsFound) + " hits";
                if (scanned.value().stopped) details += ", stopped";
                for (const std::string& warning : scanned.value().warnings)
                    details += "\n" + warning;
                control(kStatus).tooltip = details;
            }
            setIdleControls(true);
            control(kStatus).text = "Scanning processing done.Select save button to save the data";
            if (scanned) plainMessage("done..");
        });
    });
}

void RawRecoveryDialog::treeLabelClicked(TreeItem item) {
    control(kList).rows.clear();
    listItems.clear();
    for (TreeItem child : tree.children(item)) {
        if (tree.image(child) == kFolderImage) continue;
        control(kList).rows.push_back({tree.text(child)});
        listItems.push_back(child);
    }
    changed();
}

void RawRecoveryDialog::save() {
    if (tree.countCheckedItems() == 0) {
        message("Please Select item from tree to save");
        return;
    }
    if (worker_.running()) {
        message(kBusyText);
        return;
    }
    // Checked hits, grouped by the scan that found them.
    std::map<size_t, std::vector<size_t>> checked;
    for (TreeItem root : tree.children(kTreeRoot))
        for (TreeItem category : tree.children(root))
            for (TreeItem hit : tree.children(category)) {
                const uint64_t data = tree.itemData(hit);
                if (data == 0 || !tree.getItemCheck(hit)) continue;
                const size_t scan = static_cast<size_t>((data >> 32) - 1);
                if (scan < scans_.size()) checked[scan].push_back(data & 0xFFFFFFFFu);
            }
    if (checked.empty()) {
        message("Please Select item from tree to save");
        return;
    }
    if (outputFolder.empty()) {
        auto folder = platform_.chooseFolder(this, "Please choose a folder.");
        if (!folder || folder->empty()) return;
        outputFolder = *folder;
        control(kOutputFolder).text = outputFolder;
    }
    showWorkControls(true);
    control(kParse).enabled = false;
    control(kBack).enabled = false;
    changed();
    const std::string folder = outputFolder;
    worker_.start([this, checked, folder](ui::JobContext& job) {
        SaveHitsSummary total;
        for (const auto& [scan, hits] : checked) {
            if (job.stopRequested()) break;
            SaveHitsSummary one =
                saveHits(*scans_[scan].engine, hits, scans_[scan].view, folder, job);
            total.saved += one.saved;
            total.failed += one.failed;
            total.stopped = total.stopped || one.stopped;
            total.files.insert(total.files.end(), one.files.begin(), one.files.end());
        }
        const std::string text = saveSummaryText(total, folder);
        fromWorker([&] {
            lastSave_ = total;
            showWorkControls(false);
            control(kParse).enabled = true;
            control(kBack).enabled = true;
            control(kStatus).text = text;
            message(text);
        });
    });
}

void RawRecoveryDialog::chooseSignatureFile() {
    auto path = platform_.openFile(this, "", ".Text Files (*.txt)|*txt||");
    if (path && std::filesystem::exists(*path)) control(kSignaturePath).text = *path;
    changed();
}

void RawRecoveryDialog::progressRange(uint64_t lower, uint64_t upper) {
    fromWorker([&] {
        control(kProgress).rangeLow = static_cast<int64_t>(lower);
        control(kProgress).rangeHigh = static_cast<int64_t>(upper);
    });
}

void RawRecoveryDialog::progressPos(uint64_t position) {
    fromWorker([&] { control(kProgress).position = static_cast<int64_t>(position); });
}

void RawRecoveryDialog::status(const std::string& text) {
    fromWorker([&] { control(kStatus).text = text; });
}

void RawRecoveryDialog::closingStep() {
    worker_.stop();
}

void RawRecoveryDialog::command(int id) {
    switch (id) {
        case kParse:
            if (control(kParse).enabled) parse();
            return;
        case kChooseSignatures:
            if (control(kChooseSignatures).enabled) chooseSignatureFile();
            return;
        case kLoadDefault:
            control(id).checked = !control(id).checked;
            changed();
            return;
        case kSetting: {
            if (!control(kSetting).enabled) return;
            RawSettingDlg editor(platform_);
            editor.initialise();
            platform_.runModal(&editor);
            return;
        }
        case kSave:
            save();
            return;
        case kBrowse: {
            auto folder = platform_.chooseFolder(this, "Please choose a folder.");
            outputFolder = folder.value_or("");
            control(kOutputFolder).text = outputFolder;
            changed();
            return;
        }
        case kPause:
            worker_.pause();
            return;
        case kResume:
            worker_.resume();
            return;
        case kStop:
            worker_.stop();
            control(kStatus).text = "Stop button pressed.Please wait for the process to stop";
            changed();
            return;
        case kBack:
            if (!control(kBack).enabled) return;
            goBack();
            return;
        default:
            Page::command(id);
    }
}

}  // namespace prendle::raw
