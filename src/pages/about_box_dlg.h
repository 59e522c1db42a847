// The About box, run modally from every page's Help menu.
#pragma once

#include "ui/page.h"

namespace prendle::pages {

struct AboutLinks {
    std::string supportMail = "support@prendle.example";
    std::string salesMail = "sales@prendle.example";
    std::string notice = "Recovers files from VDI, VHD and VMDK disk images.";
};

class CAboutBoxDlg : public ui::Page {
public:
    static constexpr int kTemplate = 100;
    enum Id { kCaptionLabel = 1027, kNotice = 1026, kHome = 1229, kSupport = 1003, kSales = 1010 };
    explicit CAboutBoxDlg(ui::Platform& platform) : Page(platform, kTemplate) {}
    void command(int id) override;
    static AboutLinks about;

private:
    void onInit() override;
};

}  // namespace prendle::pages
