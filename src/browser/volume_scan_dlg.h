// The browser page: starts the parse of the chosen volume on a worker, shows what it
// found in the check-box tree and list, fills folders on demand, searches names and saves
// a folder's files. Tested headless; the Qt front end draws its tree and list.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "controls/check_list.h"
#include "controls/check_tree.h"
#include "fs/common/file_system.h"
#include "ui/page.h"
#include "ui/worker.h"
#include "volumes/volume_info.h"

namespace prendle::browser {

inline constexpr char kPlaceholderText[] = "..DUMY..";

// The page before the browser: it holds the volume and the recovery mode.
class VolumeSource {
public:
    virtual ~VolumeSource() = default;
    virtual VolumeInfo browsedVolume() const = 0;
    virtual fs::ParseMode browsedMode() const = 0;
};

class VolumeScanDlg : public ui::Page, private ui::WorkerSink {
public:
    static constexpr int kTemplate = 139;
    enum Id {
        kVolumeLabel = 1056,
        kVolumeEdit = 1324,
        kPattern = 1319,
        kSearch = 1318,
        kSearchHint = 1320,
        kTree = 1042,
        kList = 1268,
        kProgress = 1055,
        kPause = 1060,
        kResume = 1061,
        kStop = 1059,
        kStatus = 1033,
        kBack = 1057,
        kSave = 1269,
        kOutputFolder = 1107,
    };
    // The volume and mode come from the recovery mode page (its parent).
    explicit VolumeScanDlg(ui::Platform& platform) : Page(platform, kTemplate), worker_(*this) {}
    ~VolumeScanDlg() override;

    void command(int id) override;
    // Tree and list input, as the front end reports it.
    void treeItemExpanding(TreeItem item);
    void treeLabelClicked(TreeItem item);
    void treeDoubleClicked(TreeItem item);
    void listCheckBoxClicked(size_t row);
    CXHtmlTree* treeModel(int id) override { return id == kTree ? &tree : nullptr; }
    CCheckListCtrl* checkListModel(int id) override { return id == kList ? &list : nullptr; }
    void treeExpanding(int, uint32_t item) override { treeItemExpanding(item); }
    void treeDoubleClicked(int, uint32_t item) override {
        treeDoubleClicked(static_cast<TreeItem>(item));
    }
    void checkListClicked(int, size_t row) override { listCheckBoxClicked(row); }

    CXHtmlTree tree;
    CCheckListCtrl list;
    VolumeInfo volume;
    fs::ParseMode recoveryMode = fs::ParseMode::Standard;
    std::atomic<bool> workBusy{true};
    bool listShowsSearchResults = false;
    fs::FileSystem* currentParser() { return parser_.get(); }
    // What the last parse found, and the last save's closing report.
    const fs::ParseSummary& parseSummary() const { return summary_; }
    ui::Worker& worker() { return worker_; }
    TreeItem rootItem() const { return rootItem_; }

private:
    void onInit() override;
    void closingStep() override;
    void endWork() override {
        worker_.stop();
        finishWorker(worker_);
    }
    void commonEnding();
    void insertFirstLevel();
    void addRootPlaceholders();
    enum class Trigger { Expansion, LabelClick, DoubleClick };
    void fillChildren(TreeItem item, Trigger trigger);
    void addListRow(TreeItem item, bool withTexts);
    void save();
    void search();
    bool askOutputFolder();
    void showWorkControls(bool visible);

    // Every worker job reports here.
    void progressRange(uint64_t lower, uint64_t upper) override;
    void progressPos(uint64_t position) override;
    void status(const std::string& text) override;

    const fs::FileSystemType* type_ = nullptr;
    std::unique_ptr<fs::FileSystem> parser_;
    fs::ParseSummary summary_;
    TreeItem rootItem_ = 0;
    ui::Worker worker_;
};

}  // namespace prendle::browser
