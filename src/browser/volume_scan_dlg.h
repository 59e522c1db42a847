// The browser page: starts the parse of the chosen volume on a worker, shows what it
// found in the check-box tree and list, fills folders on demand, searches names and saves
// a folder's files. Tested headless; the Qt front end draws its tree and list.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "browser/browsed_volume.h"
#include "controls/check_list.h"
#include "controls/check_tree.h"
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
    virtual int browsedMode() const = 0;
};

class VolumeScanDlg : public ui::Page, private ParseListener, private ui::WorkerSink {
public:
    static constexpr int kTemplate = 139;
    enum Id {
        kVolumeLabel = 1056, kVolumeEdit = 1324, kPattern = 1319, kSearch = 1318,
        kSearchHint = 1320, kTree = 1042, kList = 1268, kProgress = 1055, kPause = 1060,
        kResume = 1061, kStop = 1059, kStatus = 1033, kBack = 1057, kSave = 1269,
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
    int recoveryMode = 1;
    std::atomic<bool> workBusy{true};
    std::atomic<bool> pageStopRequested{false};
    bool listShowsSearchResults = false;
    BrowsedVolume* currentParser() { return parser_.get(); }
    ui::Worker& worker() { return worker_; }
    TreeItem rootItem() const { return rootItem_; }

    // A parser for each file-system name; adding a file system is one line in the table.
    using ParserFactory = std::unique_ptr<BrowsedVolume> (*)(readWriteInterface&,
                                                            const VolumeInfo&, ParseListener&);

private:
    void onInit() override;
    void closingStep() override;
    void commonEnding();
    void addRootPlaceholders();
    enum class Trigger { Expansion, LabelClick, DoubleClick };
    void fillChildren(TreeItem item, Trigger trigger);
    void addListRow(TreeItem item, bool withTexts);
    void save();
    void search();
    uint64_t countFiles(uint64_t folder) const;
    bool askOutputFolder();

    // The parse reports here.
    void setStatus(const std::string& text) override;
    void setProgressRange(uint64_t lower, uint64_t upper) override;
    void setProgressPos(uint64_t position) override;
    void progressRange(uint64_t lower, uint64_t upper) override { setProgressRange(lower, upper); }
    void progressPos(uint64_t position) override { setProgressPos(position); }
    void status(const std::string& text) override { setStatus(text); }

    std::unique_ptr<BrowsedVolume> parser_;
    TreeItem rootItem_ = 0;
    ui::Worker worker_;
};

}  // namespace prendle::browser
