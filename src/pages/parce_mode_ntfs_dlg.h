// The recovery mode page: Standard, Advanced or Deep, offered by file system.
#pragma once

#include <string>

#include "browser/volume_scan_dlg.h"
#include "fs/common/file_system.h"
#include "ui/page.h"
#include "volumes/volume_info.h"

namespace prendle::pages {

class ParceModeNtfsDlg : public ui::Page, public browser::VolumeSource {
public:
    static constexpr int kTemplate = 136;
    enum Id {
        kStandard = 1047,
        kAdvanced = 1048,
        kDeep = 1049,
        kGroup = 1050,
        kMaxLabel = 1128,
        kMaxEdit = 1129,
        kMaxNote = 1130,
        kFormatted = 1255,
        kBack = 1051,
        kNext = 1053,
    };
    ParceModeNtfsDlg(ui::Platform& platform, int previousPage)
        : Page(platform, kTemplate), prevPageId(previousPage) {}

    void command(int id) override;
    VolumeInfo browsedVolume() const override { return volume; }
    fs::ParseMode browsedMode() const override { return recoveryMode; }
    int prevPageId = -1;
    VolumeInfo volume;
    fs::ParseMode recoveryMode = fs::ParseMode::Standard;

private:
    void onInit() override;
    void choose(fs::ParseMode mode);
    bool offersFormattedChoice_ = false;
};

}  // namespace prendle::pages
