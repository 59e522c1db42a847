// The raw recovery page: loads the signature files, carves the chosen volume on a worker,
// lists the hits by category in a check-box tree and saves the checked ones. Tested
// headless; the Qt front end draws its tree and list.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "controls/check_tree.h"
#include "disk/volume_view.h"
#include "raw/carve_save.h"
#include "raw/my_jpg.h"
#include "ui/page.h"
#include "ui/worker.h"
#include "volumes/volume_info.h"

namespace prendle::raw {

class RawRecoveryDialog : public ui::Page, private ui::WorkerSink {
public:
    static constexpr int kTemplate = 151;
    enum Id {
        kFileGroup = 1301,
        kSignaturePath = 1304,
        kChooseSignatures = 1237,
        kLoadDefault = 1255,
        kParse = 1238,
        kSetting = 1282,
        kSettingNote = 1305,
        kTree = 1251,
        kList = 1281,
        kProgress = 1027,
        kPause = 1060,
        kResume = 1250,
        kStop = 1248,
        kStatus = 1033,
        kBack = 1229,
        kSave = 1252,
        kBrowse = 1239,
        kOutputFolder = 1240,
    };
    // The volume chosen on the volume list page; the scan reads it through `reader`.
    RawRecoveryDialog(ui::Platform& platform, VolumeInfo chosenVolume,
                      const readWriteInterface* reader);
    ~RawRecoveryDialog() override;

    void command(int id) override;
    CXHtmlTree* treeModel(int id) override { return id == kTree ? &tree : nullptr; }
    // A click on an item's label: a category lists its hits.
    void treeLabelClicked(TreeItem item);

    CXHtmlTree tree;
    VolumeInfo volume;
    std::string defaultSignaturePath;
    std::string outputFolder;
    // The tree item of each row of the list.
    std::vector<TreeItem> listItems;
    ui::Worker& worker() { return worker_; }
    // Every Parse's engine and the volume it read; tree items name (scan, hit).
    struct Scan {
        std::unique_ptr<myJpg> engine;
        VolumeView view;
    };
    const std::vector<Scan>& scans() const { return scans_; }
    const SaveHitsSummary& lastSave() const { return lastSave_; }

private:
    void onInit() override;
    void closingStep() override;
    void parse();
    void refuseParse();
    void save();
    void chooseSignatureFile();
    void showWorkControls(bool visible);
    void setIdleControls(bool afterScan);

    void progressRange(uint64_t lower, uint64_t upper) override;
    void progressPos(uint64_t position) override;
    void status(const std::string& text) override;

    const readWriteInterface* reader_;
    std::vector<Scan> scans_;
    SaveHitsSummary lastSave_;
    ui::Worker worker_;
};

// The folder of the program file, with its trailing separator.
std::string programFolder();

}  // namespace prendle::raw
