// The first page: choose the image (VDI, VHD, VMDK or a flat disk), see its header values
// and correct the disk size, block size and block count.
#pragma once

#include <string>

#include "disk/image_kind.h"
#include "disk/session.h"
#include "ui/page.h"

namespace prendle::pages {

// imageType values: the Part's three containers, and a flat disk file.
enum ImageType { kNoImage = 0, kVhdImage = 1, kVdiImage = 2, kVmdkImage = 3, kFlatImage = 4 };

// The reader the later pages create for an image of the first page (VDI when none).
ImageKind imageKindFor(int imageType);
// The reader an image needs: by its contents, else by the browse button that chose it.
ImageKind imageKindOf(const std::string& path, int imageType);

class VhdInputDialog : public ui::Page {
public:
    static constexpr int kTemplate = 142;
    enum Id {
        kDynamicDisk = 1270,
        kFixedDisk = 1271,
        kPathEdit = 1276,
        kBrowse = 1106,
        kSizeLabel = 1112,
        kSizeEdit = 1330,
        kVersionLabel = 1113,
        kVersionValue = 1118,
        kTrackLabel = 1114,
        kTrackValue = 1120,
        kBlockSizeLabel = 1116,
        kBlockSizeEdit = 1328,
        kBlockCountLabel = 1117,
        kBlockCountEdit = 1329,
        kMbUnit = 1119,
        kBytesUnit = 1121,
        kBlocksUnit = 1122,
        kNext = 1053,
        kInfoGroup = 1111,
        kBrowseVhd = 1081,
        kBrowseVdi = 1229,
        kBrowseVmdk = 1231,
        kBrowsePathOnly = 1086,
    };
    // The first page owns the run's session and hands it down the chain.
    explicit VhdInputDialog(ui::Platform& platform) : Page(platform, kTemplate) {
        setSession(ownSession_);
    }

    void command(int id) override;
    int imageType = kNoImage;
    std::string path;
    // The size the header gave, as shown; an unchanged field overrides nothing.
    std::string headerSizeText;

private:
    void onInit() override;
    void chooseKind(bool dynamic);
    void browseDynamic(const std::string& chosen);
    void browseFixed(const std::string& chosen);
    void browseVhd(const std::string& chosen);
    void browseVmdk(const std::string& chosen);
    void showProperties(bool all);
    void next();

private:
    Session ownSession_;
};

}  // namespace prendle::pages
