// The second page: standard or advanced volume search with its options, and the export
// of the whole disk as a flat image.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "ui/page.h"
#include "ui/worker.h"

namespace prendle::pages {

class DriveParsingModes : public ui::Page, private ui::WorkerSink {
public:
    static constexpr int kTemplate = 152;
    enum Id {
        kDriveLabel = 1028,
        kDrivePath = 1263,
        kStandardScan = 1322,
        kAdvanceScan = 1323,
        kGptFormat = 1253,
        kGptNote = 1254,
        kNoSkip = 1144,
        kCustomSetting = 1153,
        kStartLabel = 1155,
        kStartEdit = 1157,
        kEndLabel = 1156,
        kEndEdit = 1158,
        kSaveDiskImage = 1255,
        kDestination = 1328,
        kSaveImage = 1329,
        kProgress = 1027,
        kStop = 1327,
        kStatus = 1074,
        kBack = 1051,
        kNext = 1229,
        kStandardCommand = 1025,
        kAdvancedCommand = 1026,
    };
    DriveParsingModes(ui::Platform& platform, int previousPage)
        : Page(platform, kTemplate), prevPageId(previousPage), worker_(*this) {}
    ~DriveParsingModes() override;

    void command(int id) override;
    int prevPageId;
    std::string imagePath;
    std::string exportDestination;
    std::atomic<bool> stopExport{false};
    ui::Worker& exportWorker() { return worker_; }

private:
    void onInit() override;
    void closingStep() override { worker_.stop(); }
    void endWork() override {
        stopExport = true;
        worker_.stop();
        finishWorker(worker_);
    }
    void chooseStandard();
    void chooseAdvanced();
    void saveImage();
    void next(int mode);
    // Worker sink: the export's progress reaches the controls on the interface thread.
    void progressRange(uint64_t, uint64_t) override {}
    void progressPos(uint64_t) override {}
    void status(const std::string&) override {}

    ui::Worker worker_;
};

}  // namespace prendle::pages
