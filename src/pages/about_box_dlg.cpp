#include "pages/about_box_dlg.h"

namespace prendle::pages {

AboutLinks CAboutBoxDlg::about;

void CAboutBoxDlg::onInit() {
    add(kCaptionLabel, ui::ControlKind::Label, ui::kCaption);
    add(kNotice, ui::ControlKind::Label, about.notice);
    add(kHome, ui::ControlKind::LinkButton, links.homePage).tooltip = "Company website";
    add(kSupport, ui::ControlKind::LinkButton, about.supportMail).tooltip = "Support email address";
    add(kSales, ui::ControlKind::LinkButton, about.salesMail).tooltip = "Sales email address";
    add(kDefaultButton, ui::ControlKind::Button, "OK");
}

void CAboutBoxDlg::command(int id) {
    switch (id) {
        case kHome:
            if (!links.homePage.empty()) platform_.openLink(links.homePage);
            return;
        case kSupport:
            platform_.openLink("mailto:" + about.supportMail);
            return;
        case kSales:
            platform_.openLink("mailto:" + about.salesMail);
            return;
        case kDefaultButton:
            closeRequested_ = true;
            changed();
            return;
        default:
            return;  // Escape and the close box do not close it
    }
}

}  // namespace prendle::pages
