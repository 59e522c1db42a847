// Prendle: the wizard from the choice of the image to the recovery mode.
#include <QApplication>
#include <QMessageBox>

#include "app/instance_guard.h"
#include "gui/qt_platform.h"
#include "pages/about_box_dlg.h"
#include "pages/vhd_input_dialog.h"

int main(int argc, char** argv) {
    prendle::app::InstanceGuard guard;
    QApplication application(argc, argv);
    QApplication::setApplicationName("Prendle");
    if (!guard.acquired()) {
        QMessageBox box(QMessageBox::Information, "Prendle v22.0",
                        prendle::app::kAnotherInstanceText, QMessageBox::Ok);
        box.exec();
        return 1;
    }
    prendle::gui::QtPlatform platform;
    // Help opens the bundled user guide; no home page is configured.
    prendle::ui::Page::links.helpPage = "file://" +
                                        QApplication::applicationDirPath().toStdString() +
                                        "/../share/prendle/guide.html";
    prendle::ui::Page::showAbout = [&platform](prendle::ui::Page&) {
        prendle::pages::CAboutBoxDlg about(platform);
        about.initialise();
        platform.runModal(&about);
    };
    // The pages hide and show one another; the process ends only through Exit.
    QApplication::setQuitOnLastWindowClosed(false);
    prendle::pages::VhdInputDialog first(platform);
    first.initialise();
    platform.showPage(&first, true);
    return QApplication::exec();
}
