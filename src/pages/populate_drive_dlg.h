// The volume list: runs the chosen volume search, lists what it finds, and lets the user
// correct a volume or add one before choosing the recovery mode.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/page.h"
#include "ui/worker.h"
#include "volumes/partition.h"

namespace prendle::pages {

class PopulateDriveDlg : public ui::Page, private VolumeSearchListener, private ui::WorkerSink {
public:
    static constexpr int kTemplate = 134;
    enum Id {
        kList = 1031,
        kFilter = 1229,
        kAddCustom = 1160,
        kCustomBox = 1131,
        kSelectedLabel = 1142,
        kSelectedValue = 1143,
        kStartLabel = 1147,
        kStartEdit = 1146,
        kStartSpin = 1145,
        kEndLabel = 1148,
        kEndEdit = 1149,
        kEndSpin = 1151,
        kTreatLabel = 1134,
        kTreatAs = 1152,
        kProgress = 1254,
        kStatus = 1316,
        kStop = 1034,
        kBack = 1036,
        kNext = 1046,
    };
    explicit PopulateDriveDlg(ui::Platform& platform)
        : Page(platform, kTemplate), worker_(static_cast<ui::WorkerSink&>(*this)) {}
    ~PopulateDriveDlg() override;

    void command(int id) override;
    void listSelectionChanged(int id, int row) override;
    void spin(int id, int delta) override;
    ui::Worker& searchWorker() { return worker_; }

    // Handed over by the drive parsing modes page.
    std::string imagePath;
    int scanMode = 1;
    bool gptEnabled = false;
    bool doNotSkip = false;
    bool hasCustomRange = false;
    uint64_t customStart = 0, customEnd = 0;

    std::vector<VolumeInfo> records;
    VolumeInfo selectedVolume;
    bool customApplied = false;

private:
    void onInit() override;
    void closingStep() override { stopSearch(); }
    void endWork() override {
        stopSearch();
        finishWorker(worker_);
    }
    bool createReader();
    void standardSearch();
    void advancedSearch();
    void showRows();
    void insertRow(const VolumeInfo& volume, bool atTop);
    void addCustomVolume();
    void filterEntries();
    void stopSearch();
    void next();

    // The search reports here; the advanced one from its worker.
    void setStatus(const std::string& text) override;
    void addVolume(const VolumeInfo& volume, bool rowAtTop) override;
    void setProgressRange(uint32_t lower, uint32_t upper) override;
    void setProgressPos(uint32_t position) override;
    void setFilterEnabled(bool enabled) override;
    void progressRange(uint64_t, uint64_t) override {}
    void progressPos(uint64_t) override {}
    void status(const std::string&) override {}

    std::vector<VolumeInfo> rowVolumes_;  // the volume of each list row
    std::unique_ptr<Partition> partition_;
    bool searching_ = false;
    ui::Worker worker_;
};

}  // namespace prendle::pages
