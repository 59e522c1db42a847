#include "browser/volume_scan_dlg.h"

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "common/text.h"
#include "disk/run_state.h"
#include "fs/common/safe_name.h"

namespace prendle::browser {

using ui::ControlKind;

namespace {

std::unique_ptr<BrowsedVolume> makeNtfs(readWriteInterface& reader, const VolumeInfo& volume,
                                        ParseListener& listener) {
    return std::make_unique<NtfsVolume>(reader, volume, listener);
}

struct ParserChoice {
    const char* names[2];
    VolumeScanDlg::ParserFactory make;  // null: this file system's parser is not built yet
    const char* startStatus;
};

const ParserChoice kParsers[] = {
    {{"ntfs", nullptr}, makeNtfs, "ntfs partition selected...."},
    {{"fat32", nullptr}, nullptr, ""},
    {{"fat16", "fat"}, nullptr, ""},
    {{"extX", nullptr}, nullptr, ""},
    {{"fat64", "exFat"}, nullptr, ""},
    {{"HFS+", nullptr}, nullptr, "HFS+ partition selected...."},
};

constexpr char kBusyText[] = "Please wait for other process to complete";

}  // namespace

VolumeScanDlg::~VolumeScanDlg() {
    if (parser_) parser_->setStop(true);
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
    rootItem_ = tree.insertTreeItem(g_rootName, 0, 0);

    const ParserChoice* choice = nullptr;
    for (const auto& candidate : kParsers)
        for (const char* name : candidate.names)
            if (name && !choice && equalsIgnoringCase(volume.fsName, name)) choice = &candidate;
    if (choice == nullptr || choice->make == nullptr) {
        message("not a valid drive.");
        control(kBack).enabled = true;
        control(kStatus).text = "Not a valid Drive .Go back";
        return;
    }
    if (!g_reader) {
        message("Please Restart the program to re begin necessary initialization...");
        return;
    }
    parser_ = choice->make(*g_reader, volume, *this);
    if (choice->startStatus[0] != '\0') control(kStatus).text = choice->startStatus;
    worker_.start([this](ui::JobContext&) {
        parser_->parse(recoveryMode);
        fromWorker([this] {
            parser_->insertFirstLevel(tree, rootItem_);
            commonEnding();
        });
    });
}

void VolumeScanDlg::commonEnding() {
    addRootPlaceholders();
    control(kBack).enabled = true;
    message("Scanning processing done.Select save button to save the data.");
    control(kStatus).text = "Scanning processing done.Select save button to save the data.";
    control(kStatus).text = "Processing done...";
    for (int id : {kProgress, kPause, kResume, kStop}) control(id).visible = false;
    workBusy = false;
}

void VolumeScanDlg::setStatus(const std::string& text) {
    fromWorker([&] { control(kStatus).text = text; });
}

void VolumeScanDlg::setProgressRange(uint64_t lower, uint64_t upper) {
    fromWorker([&] {
        control(kProgress).rangeLow = static_cast<int64_t>(lower);
        control(kProgress).rangeHigh = static_cast<int64_t>(upper);
    });
}

void VolumeScanDlg::setProgressPos(uint64_t position) {
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
        const std::string name = parser_->name(child);
        if (trigger == Trigger::Expansion && name.empty()) break;
        const bool folder = parser_->isFolder(child);
        TreeItem inserted = tree.insertTreeItem(name, folder ? 0 : 1, folder ? 0 : 1, item);
        tree.setItemData(inserted, child);
        if (folder && !parser_->children(child).empty())
            tree.insertTreeItem(kPlaceholderText, 1, 1, inserted);
        if (parser_->inheritsCheck() && checked) tree.setItemCheck(inserted, true);
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
        control(kOutputFolder).text + "/" + safeFileName(parser_->name(record));
    if (auto written = parser_->extract(record, target); !written)
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

uint64_t VolumeScanDlg::countFiles(uint64_t folder) const {
    uint64_t count = 0;
    std::vector<uint64_t> pending{folder};
    std::vector<bool> seen;
    while (!pending.empty()) {
        const uint64_t current = pending.back();
        pending.pop_back();
        for (uint64_t child : parser_->children(current)) {
            if (parser_->isFolder(child)) {
                if (parser_->name(child) != ".") pending.push_back(child);
            } else {
                ++count;
            }
        }
    }
    return count;
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
    // The top item stands for the volume's first level.
    std::vector<uint64_t> topRecords;
    if (rootSelected) {
        for (TreeItem child : tree.children(rootItem_)) topRecords.push_back(tree.itemData(child));
    }
    uint64_t count = 0;
    if (rootSelected) {
        for (uint64_t record : topRecords)
            count += parser_->isFolder(record) ? countFiles(record) : 1;
    } else {
        count = countFiles(folder);
    }
    control(kProgress).rangeLow = 0;
    control(kProgress).rangeHigh = static_cast<int64_t>(count);
    if (platform_.messageBox(this,
                             "number of files found inside this folder = " + std::to_string(count) +
                                 " .do u want to continue dumping these files..?",
                             std::nullopt, ui::Icon::None, ui::Buttons::YesNo) != ui::Answer::Yes)
        return;
    // A new save starts afresh after an earlier stop, the parser's as well as the page's.
    pageStopRequested = false;
    parser_->setStop(false);
    workBusy = true;
    for (int id : {kProgress, kPause, kResume, kStop}) control(id).visible = true;
    const std::string outputFolder = control(kOutputFolder).text;
    worker_.start([this, rootSelected, folder, topRecords, count,
                   outputFolder](ui::JobContext& job) {
        // First the folders, in the chains' order, and the list of files to write.
        struct Level {
            std::vector<uint64_t> records;
            std::string path;
        };
        std::vector<std::pair<uint64_t, std::string>> files;
        std::vector<Level> pending;
        pending.push_back({rootSelected ? topRecords : parser_->children(folder), outputFolder});
        while (!pending.empty() && !pageStopRequested && job.checkpoint()) {
            Level level = std::move(pending.back());
            pending.pop_back();
            // Names from the disk are made safe and unique within each output folder.
            FolderNames names;
            for (uint64_t record : level.records) {
                const std::string path = level.path + "/" + names.claim(parser_->name(record));
                if (!parser_->isFolder(record)) {
                    files.emplace_back(record, path);
                    continue;
                }
                if (parser_->name(record) == ".") continue;
                std::error_code ignored;
                std::filesystem::create_directory(path, ignored);
                pending.push_back({parser_->children(record), path});
            }
        }
        // Then the files, by as many threads as there are cores: creating many small files
        // is kernel work that runs side by side. The parser's reads are positional.
        std::atomic<size_t> next{0};
        std::atomic<uint64_t> written{0};
        auto lastStatus = std::chrono::steady_clock::now() - std::chrono::seconds(1);
        auto writeFiles = [&](bool reports) {
            for (size_t i = next++; i < files.size(); i = next++) {
                if (pageStopRequested || !job.checkpoint()) break;
                const auto& [record, path] = files[i];
                const uint64_t done = ++written;
                if (reports) {
                    job.progressPos(done);
                    // The status line follows at most ten times a second.
                    const auto now = std::chrono::steady_clock::now();
                    if (now - lastStatus > std::chrono::milliseconds(100) || done == files.size()) {
                        lastStatus = now;
                        status("saving File  " + path);
                    }
                }
                if (parser_->skippedOnSave(record)) continue;
                if (auto result = parser_->extract(record, path); !result)
                    status(result.error().message);
            }
        };
        std::vector<std::thread> helpers;
        const unsigned threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
        for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(writeFiles, false);
        writeFiles(true);
        for (auto& helper : helpers) helper.join();
        fromWorker([this, count] {
            control(kProgress).position = static_cast<int64_t>(count);
            for (int id : {kProgress, kPause, kResume, kStop}) control(id).visible = false;
            workBusy = false;
            message("work done");
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
    for (int id : {kProgress, kPause, kResume, kStop}) control(id).visible = true;
    const std::string rootText = tree.text(rootItem_);
    std::vector<std::pair<uint64_t, bool>> firstLevel;
    for (TreeItem child : tree.children(rootItem_))
        firstLevel.emplace_back(tree.itemData(child), tree.hasChildren(child));
    worker_.start([this, expression, pattern, rootText, firstLevel](ui::JobContext& job) {
        uint64_t matches = 0;
        auto matchesName = [&](const std::string& name) {
            return !name.empty() && std::regex_search(name, expression);
        };
        auto addRow = [&](uint64_t record, const std::string& path) {
            const EntryDisplayText texts = parser_->displayText(record);
            const std::string size = parser_->sizeText(record);
            ++matches;
            fromWorker([&] {
                list.addRow(
                    {path, texts.created, texts.accessed, texts.modified, size, texts.attributes},
                    record);
                control(kStatus).text = "searched file " + std::to_string(matches);
            });
        };
        if (!pattern.empty()) {
            for (const auto& [record, hasChildren] : firstLevel) {
                if (!parser_->usable(record)) continue;
                const std::string path = rootText + "/" + parser_->name(record);
                if (!hasChildren && !parser_->isFolder(record)) {
                    if (matchesName(parser_->name(record))) addRow(record, path);
                    continue;
                }
                std::vector<std::pair<uint64_t, std::string>> pending{{record, path}};
                while (!pending.empty() && !parser_->stopRequested() && job.checkpoint()) {
                    auto [folder, folderPath] = pending.back();
                    pending.pop_back();
                    for (uint64_t child : parser_->children(folder)) {
                        const std::string name = parser_->name(child);
                        if (parser_->isFolder(child)) {
                            if (name != ".") pending.emplace_back(child, folderPath + "/" + name);
                        } else if (matchesName(name)) {
                            addRow(child, folderPath + "/" + name);
                        }
                    }
                }
                parser_->setStop(false);
            }
        }
        fromWorker([this] {
            platform_.messageBox(this, "Searching Finished", std::nullopt, ui::Icon::None,
                                 ui::Buttons::Ok);
            control(kStatus).text = "Searching Finished";
            for (int id : {kProgress, kPause, kResume, kStop}) control(id).visible = false;
        });
    });
}

void VolumeScanDlg::closingStep() {
    if (parser_) {
        parser_->setStop(true);
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
            parser_->setStop(true);
            pageStopRequested = true;
            worker_.resume();
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
