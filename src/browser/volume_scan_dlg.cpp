#include "browser/volume_scan_dlg.h"

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "disk/session.h"
#include "fs/common/recover.h"
#include "fs/common/recycle_bin.h"
#include "fs/common/safe_name.h"
#include "fs/common/tree_walk.h"
#include "fs/file_systems.h"

namespace prendle::browser {

using ui::ControlKind;

namespace {
constexpr char kBusyText[] = "Please wait for other process to complete";
}  // namespace

VolumeScanDlg::~VolumeScanDlg() {
    worker_.stop();
    finishWorker(worker_);
}

void VolumeScanDlg::onInit() {
    add(kVolumeLabel, ControlKind::Label, "Volume Data:");
    add(kVolumeEdit, ControlKind::Edit).readOnly = true;
    add(kPattern, ControlKind::Edit);
    addImageButton(kSearch, 172, "Search");
    add(kSearchHint, ControlKind::Label, "* Use \"|\" to find multiple file type ");
    add(kTree, ControlKind::TreeView);
    add(kList, ControlKind::ListView).columns = {
        "File(s) List", "Creation Time", "Access Time", "Modification Time", "Size", "Attribute"};
    add(kProgress, ControlKind::ProgressBar);
    addImageButton(kPause, 169, "Pause");
    addImageButton(kResume, 170, "Resume");
    addImageButton(kStop, 175, "Stop");
    add(kStatus, ControlKind::Label);
    addImageButton(kBack, 160, "Back");
    addImageButton(kSave, 171, "Save");
    addHelpButton();
    add(kOutputFolder, ControlKind::Edit).visible = false;

    workBusy = true;
    tree.initialiseTree();
    tree.smartCheck = true;
    tree.onItemClicked = [this](TreeItem item) { treeLabelClicked(item); };
    control(kBack).enabled = false;
    list.columns = control(kList).columns;
    (void)list.initCheckHeader();

    // The recovery mode page holds the volume and the mode.
    if (Page* modePage = parent()) {
        if (auto* provider = dynamic_cast<VolumeSource*>(modePage)) {
            volume = provider->browsedVolume();
            recoveryMode = provider->browsedMode();
        }
    }
    control(kVolumeEdit).text = volume.spareText.empty() ? volume.indexText : volume.spareText;
    rootItem_ = tree.insertTreeItem(session().rootName, 0, 0);

    type_ = fs::findFileSystem(volume.kind);
    if (type_ == nullptr || type_->open == nullptr) {
        message("not a valid drive.");
        control(kBack).enabled = true;
        control(kStatus).text = "Not a valid Drive .Go back";
        return;
    }
    if (!session().reader) {
        message("Please Restart the program to re begin necessary initialization...");
        return;
    }
    parser_ = type_->open(VolumeView::toDiskEnd(*session().reader, volume.startSector), volume,
                          fs::OpenOptions{session().driveFormatted});
    if (type_->startStatus[0] != '\0') control(kStatus).text = type_->startStatus;
    worker_.start([this](ui::JobContext& job) {
        auto parsed = parser_->parse(recoveryMode, job);
        // Files in the recycle bin are shown under the names they had before deletion.
        if (parsed) (void)fs::restoreRecycleBinNames(*parser_, job);
        fromWorker([this, &parsed] {
            if (!parsed) {
                summary_ = {};
                summary_.warn(parsed.error().message);
                message(parsed.error().message);
            } else {
                summary_ = parsed.value();
            }
            insertFirstLevel();
            commonEnding();
        });
    });
}

void VolumeScanDlg::insertFirstLevel() {
    for (fs::EntryId id : parser_->topLevel()) {
        if (!parser_->usable(id)) continue;
        const bool folder = parser_->isFolder(id);
        TreeItem item = tree.insertTreeItem(std::string(parser_->name(id)), folder ? 0 : 1,
                                            folder ? 0 : 1, rootItem_);
        tree.setItemData(item, id);
        if (parser_->isDeleted(id)) tree.setItemTextColour(item, kDeletedTextColour);
    }
    tree.expandTreeItem(rootItem_, ExpandCode::Expand);
}

void VolumeScanDlg::showWorkControls(bool visible) {
    for (int id : {kProgress, kPause, kResume, kStop}) control(id).visible = visible;
}

void VolumeScanDlg::commonEnding() {
    addRootPlaceholders();
    control(kBack).enabled = true;
    message("Scanning processing done.Select save button to save the data.");
    control(kStatus).text = "Scanning processing done.Select save button to save the data.";
    control(kStatus).text = "Processing done...";
    // What the parse found and any warnings stay at hand on the status line's tooltip.
    std::string details = summary_.text();
    for (const std::string& warning : summary_.warnings) details += "\n" + warning;
    control(kStatus).tooltip = details;
    showWorkControls(false);
    workBusy = false;
}

void VolumeScanDlg::status(const std::string& text) {
    fromWorker([&] { control(kStatus).text = text; });
}

void VolumeScanDlg::progressRange(uint64_t lower, uint64_t upper) {
    fromWorker([&] {
        control(kProgress).rangeLow = static_cast<int64_t>(lower);
        control(kProgress).rangeHigh = static_cast<int64_t>(upper);
    });
}

void VolumeScanDlg::progressPos(uint64_t position) {
    fromWorker([&] { control(kProgress).position = static_cast<int64_t>(position); });
}

void VolumeScanDlg::addRootPlaceholders() {
    for (TreeItem child : tree.children(rootItem_)) {
        if (tree.image(child) == 0 && !parser_->isFolder(tree.itemData(child))) continue;
        const uint64_t record = tree.itemData(child);
        if (parser_->isFolder(record) && !parser_->children(record).empty())
            tree.insertTreeItem(kPlaceholderText, 1, 1, child);
    }
}

void VolumeScanDlg::fillChildren(TreeItem item, Trigger trigger) {
    if (!parser_) return;
    const TreeItem first = tree.firstChild(item);
    if (first != 0) {
        if (tree.text(first) != kPlaceholderText) return;
        tree.deleteTreeItem(first);
    }
    const uint64_t record = tree.itemData(item);
    const bool checked = tree.getItemCheck(item);
    for (uint64_t child : parser_->children(record)) {
        const std::string name(parser_->name(child));
        if (trigger == Trigger::Expansion && name.empty()) break;
        const bool folder = parser_->isFolder(child);
        TreeItem inserted = tree.insertTreeItem(name, folder ? 0 : 1, folder ? 0 : 1, item);
        tree.setItemData(inserted, child);
        if (folder && !parser_->children(child).empty())
            tree.insertTreeItem(kPlaceholderText, 1, 1, inserted);
        if (type_->childrenInheritCheck && checked) tree.setItemCheck(inserted, true);
        if (trigger == Trigger::LabelClick && parser_->isDeleted(child))
            tree.setItemTextColour(inserted, kDeletedTextColour);
    }
}

void VolumeScanDlg::treeItemExpanding(TreeItem item) {
    if (parser_ && tree.exists(item) && parser_->isFolder(tree.itemData(item)))
        fillChildren(item, Trigger::Expansion);
    changed();
}

void VolumeScanDlg::addListRow(TreeItem item, bool withTexts) {
    const uint64_t record = tree.itemData(item);
    std::vector<std::string> cells{tree.text(item), "", "", "", "", ""};
    if (withTexts) {
        const EntryDisplayText texts = parser_->displayText(record);
        cells = {tree.text(item),           texts.created,   texts.accessed, texts.modified,
                 parser_->sizeText(record), texts.attributes};
    }
    list.addRow(std::move(cells), item);
}

void VolumeScanDlg::treeLabelClicked(TreeItem item) {
    if (!parser_ || !tree.exists(item) || item == rootItem_) return;
    const uint64_t record = tree.itemData(item);
    if (!parser_->usable(record)) return;
    list.clear();
    listShowsSearchResults = false;
    if (parser_->isFolder(record)) {
        fillChildren(item, Trigger::LabelClick);
        for (TreeItem child : tree.children(item))
            if (tree.text(child) != kPlaceholderText && !parser_->isFolder(tree.itemData(child)))
                addListRow(child, true);
    } else {
        addListRow(item, true);
    }
    changed();
}

bool VolumeScanDlg::askOutputFolder() {
    auto folder = platform_.chooseFolder(this, "Please choose a folder.");
    control(kOutputFolder).text = folder.value_or("");
    return !control(kOutputFolder).text.empty();
}

void VolumeScanDlg::treeDoubleClicked(TreeItem item) {
    if (!parser_ || !tree.exists(item) || item == rootItem_) return;
    const uint64_t record = tree.itemData(item);
    if (!parser_->usable(record)) return;
    if (parser_->isFolder(record)) {
        fillChildren(item, Trigger::DoubleClick);
        for (TreeItem child : tree.children(item)) {
            const TreeItem grandchild = tree.firstChild(child);
            if (grandchild != 0 && tree.text(grandchild) == kPlaceholderText)
                treeItemExpanding(child);
        }
        list.clear();
        for (TreeItem child : tree.children(item))
            if (tree.image(child) != 0) addListRow(child, false);
        changed();
        return;
    }
    // With no output folder chosen the user is asked for one, never a fixed drive path.
    if (control(kOutputFolder).text.empty() && !askOutputFolder()) {
        message("Please select valid output folder");
        return;
    }
    const std::string target =
        control(kOutputFolder).text + "/" + safeFileName(std::string(parser_->name(record)));
    Progress quiet;
    if (auto written = fs::recoverFile(*parser_, record, target, quiet); !written)
        control(kStatus).text = written.error().message;
    changed();
}

void VolumeScanDlg::listCheckBoxClicked(size_t row) {
    if (row >= list.rows.size() || listShowsSearchResults) return;
    const bool wasChecked = list.rows[row].stateImage == 2;
    list.setRowState(row, wasChecked ? 1 : 2);
    const TreeItem item = static_cast<TreeItem>(list.rows[row].data);
    if (tree.exists(item)) tree.setItemCheck(item, !wasChecked);
    changed();
}

void VolumeScanDlg::save() {
    if (workBusy) {
        message(kBusyText);
        return;
    }
    if (!askOutputFolder()) {
        message("Please select valid output folder");
        return;
    }
    const TreeItem selected = tree.selectedItem();
    if (!parser_ || !tree.exists(selected)) return;
    const bool rootSelected = selected == rootItem_;
    const uint64_t folder = rootSelected ? 0 : tree.itemData(selected);
    if (!rootSelected && !parser_->isFolder(folder)) return;
    // The top item stands for the volume's first level; a folder for what it holds.
    std::vector<fs::EntryId> entries;
    if (rootSelected) {
        for (TreeItem child : tree.children(rootItem_)) entries.push_back(tree.itemData(child));
    } else {
        entries = parser_->children(folder);
    }
    const uint64_t count = fs::countFiles(*parser_, entries);
    control(kProgress).rangeLow = 0;
    control(kProgress).rangeHigh = static_cast<int64_t>(count);
    if (platform_.messageBox(this,
                             "number of files found inside this folder = " + std::to_string(count) +
                                 " .do u want to continue dumping these files..?",
                             std::nullopt, ui::Icon::None, ui::Buttons::YesNo) != ui::Answer::Yes)
        return;
    workBusy = true;
    showWorkControls(true);
    const std::string outputFolder = control(kOutputFolder).text;
    worker_.start([this, entries, count, outputFolder](ui::JobContext& job) {
        fs::RecoverOptions options;
        options.parallelExtract = type_->parallelExtract;
        const fs::RecoverReport report =
            fs::recoverEntries(*parser_, entries, outputFolder, job, options);
        fromWorker([this, count, &report] {
            control(kProgress).position = static_cast<int64_t>(count);
            showWorkControls(false);
            workBusy = false;
            if (report.failures.empty()) {
                message("work done");
                return;
            }
            // Failures are said at the end, where no later status can hide them.
            const std::string failures = fs::failureSummary(report);
            control(kStatus).text = failures.substr(0, failures.find('\n'));
            message("work done\n\n" + failures);
        });
    });
}

void VolumeScanDlg::search() {
    if (workBusy) {
        message(kBusyText);
        return;
    }
    const std::string pattern = control(kPattern).text;
    list.clear();
    listShowsSearchResults = true;
    std::regex expression;
    try {
        expression = std::regex(pattern, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error&) {
        platform_.messageBox(this,
                             "such characters are not allowed for search.Try again with "
                             "different pattern.",
                             std::nullopt, ui::Icon::None, ui::Buttons::Ok);
        return;
    }
    showWorkControls(true);
    const std::string rootText = tree.text(rootItem_);
    std::vector<fs::EntryId> firstLevel;
    for (TreeItem child : tree.children(rootItem_)) firstLevel.push_back(tree.itemData(child));
    worker_.start([this, expression, pattern, rootText, firstLevel](ui::JobContext& job) {
        uint64_t matches = 0;
        // Rows go to the list in batches, so a search with many matches does not wait on
        // the interface thread for each one.
        std::vector<std::pair<std::vector<std::string>, uint64_t>> batch;
        auto flush = [&] {
            if (batch.empty()) return;
            fromWorker([&] {
                for (auto& [cells, record] : batch) list.addRow(std::move(cells), record);
                control(kStatus).text = "searched file " + std::to_string(matches);
            });
            batch.clear();
        };
        auto consider = [&](fs::EntryId id, const std::string& path) {
            if (parser_->isFolder(id)) return;
            const std::string_view name = parser_->name(id);
            if (name.empty() || !std::regex_search(name.begin(), name.end(), expression)) return;
            const EntryDisplayText texts = parser_->displayText(id);
            ++matches;
            batch.push_back({{path, texts.created, texts.accessed, texts.modified,
                              parser_->sizeText(id), texts.attributes},
                             id});
            if (batch.size() >= 256) flush();
        };
        if (!pattern.empty()) {
            for (fs::EntryId record : firstLevel) {
                if (!parser_->usable(record) || !job.checkpoint()) continue;
                const std::string path = rootText + "/" + std::string(parser_->name(record));
                consider(record, path);
                if (!parser_->isFolder(record)) continue;
                fs::walkTree(
                    *parser_, record, path,
                    [&](fs::EntryId child, const std::string& childPath, fs::EntryId) {
                        consider(child, childPath);
                        return true;
                    },
                    &job);
            }
        }
        flush();
        fromWorker([this] {
            platform_.messageBox(this, "Searching Finished", std::nullopt, ui::Icon::None,
                                 ui::Buttons::Ok);
            control(kStatus).text = "Searching Finished";
            showWorkControls(false);
        });
    });
}

void VolumeScanDlg::closingStep() {
    if (parser_) {
        worker_.stop();
        control(kStatus).text = "All thread Stopped";
    }
}

void VolumeScanDlg::command(int id) {
    switch (id) {
        case kPause:
            worker_.pause();
            control(kStatus).text = "Pause button pressed";
            changed();
            return;
        case kResume:
            worker_.resume();
            control(kStatus).text = "Resume button pressed";
            changed();
            return;
        case kStop:
            if (!parser_) return;
            worker_.stop();
            control(kStatus).text =
                "stop button pressed.Please wait for the process to be stopped.";
            changed();
            return;
        case kSave:
            save();
            return;
        case kSearch:
            search();
            return;
        case kBack:
            if (!control(kBack).enabled) return;
            goBack();
            return;
        default:
            Page::command(id);
    }
}

}  // namespace prendle::browser
