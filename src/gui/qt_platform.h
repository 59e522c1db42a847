// The Qt front end: every page model is rendered as a real window, and the services the
// pages ask for (message boxes, choosers, links) are Qt's. Worker calls reach the
// widgets on the interface thread.
#pragma once

#include <QObject>
#include <map>
#include <memory>

#include "ui/page.h"

class QWidget;

namespace prendle::gui {

class PageWindow;

class QtPlatform : public ui::Platform {
public:
    QtPlatform();
    ~QtPlatform() override;

    ui::Answer messageBox(ui::Page* owner, const std::string& text,
                          const std::optional<std::string>& caption, ui::Icon icon,
                          ui::Buttons buttons) override;
    std::optional<std::string> openFile(ui::Page* owner, const std::string& defaultExtension,
                                        const std::string& filter) override;
    std::optional<std::string> chooseFolder(ui::Page* owner, const std::string& title) override;
    void openLink(const std::string& target) override;
    void pageChanged(ui::Page* page) override;
    void showPage(ui::Page* page, bool visible) override;
    void runModal(ui::Page* page) override;
    void exitProcess(int code) override;
    void runOnInterfaceThread(const std::function<void()>& work) override;
    void waitUntil(const std::function<bool()>& done) override;

    PageWindow* windowOf(ui::Page* page);
    // Every window shown so far, for screenshots.
    std::vector<PageWindow*> windows() const;

private:
    QObject context_;  // lives on the interface thread
    std::map<ui::Page*, std::unique_ptr<PageWindow>> windows_;
};

}  // namespace prendle::gui
