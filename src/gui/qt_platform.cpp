#include "gui/qt_platform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QUrl>
#include <cstdlib>

#include "gui/page_window.h"

namespace prendle::gui {

QtPlatform::QtPlatform() = default;
QtPlatform::~QtPlatform() = default;

PageWindow* QtPlatform::windowOf(ui::Page* page) {
    if (page == nullptr) return nullptr;
    auto found = windows_.find(page);
    if (found != windows_.end()) return found->second.get();
    // Top-level windows owned here alone; Qt parents would delete them a second time.
    auto window = std::make_unique<PageWindow>(*page, nullptr);
    PageWindow* raw = window.get();
    windows_[page] = std::move(window);
    return raw;
}

std::vector<PageWindow*> QtPlatform::windows() const {
    std::vector<PageWindow*> out;
    for (const auto& [page, window] : windows_) out.push_back(window.get());
    return out;
}

ui::Answer QtPlatform::messageBox(ui::Page* owner, const std::string& text,
                                  const std::optional<std::string>& caption, ui::Icon icon,
                                  ui::Buttons buttons) {
    QMessageBox box(owner ? windowOf(owner) : nullptr);
    box.setWindowTitle(QString::fromStdString(caption.value_or("Prendle")));
    box.setText(QString::fromStdString(text));
    box.setIcon(icon == ui::Icon::Question      ? QMessageBox::Question
                : icon == ui::Icon::Information ? QMessageBox::Information
                                                : QMessageBox::NoIcon);
    if (buttons == ui::Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? ui::Answer::Yes : ui::Answer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return ui::Answer::Ok;
}

std::optional<std::string> QtPlatform::openFile(ui::Page* owner, const std::string& extension,
                                                const std::string&) {
    QString filter = extension.empty()
                         ? QString("Disk images (*.vdi *.vhd *.vmdk *.img *.raw);;All files (*)")
                         : QString("*.%1;;All files (*)").arg(QString::fromStdString(extension));
    QString chosen = QFileDialog::getOpenFileName(owner ? windowOf(owner) : nullptr, QString(),
                                                  QString(), filter);
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.toStdString();
}

std::optional<std::string> QtPlatform::chooseFolder(ui::Page* owner, const std::string& title) {
    QString chosen = QFileDialog::getExistingDirectory(owner ? windowOf(owner) : nullptr,
                                                       QString::fromStdString(title));
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.toStdString();
}

void QtPlatform::openLink(const std::string& target) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(target)));
}

void QtPlatform::pageChanged(ui::Page* page) {
    if (QThread::currentThread() != context_.thread()) {
        QMetaObject::invokeMethod(
            &context_, [this, page] { pageChanged(page); }, Qt::QueuedConnection);
        return;
    }
    auto found = windows_.find(page);
    if (found != windows_.end()) found->second->refresh();
}

void QtPlatform::showPage(ui::Page* page, bool visible) {
    if (visible) {
        PageWindow* window = windowOf(page);
        window->refresh();
        window->show();
        window->raise();
        return;
    }
    auto found = windows_.find(page);
    if (found == windows_.end()) return;
    found->second->hide();
    // A page hidden because Back is destroying it loses its window, and so do the pages
    // after it in the chain, which go with it.
    if (page->parent() && page->parent()->child() == page && !page->parent()->visible()) return;
    if (page->parent() && page->parent()->visible()) {
        for (ui::Page* p = page; p != nullptr; p = p->child()) windows_.erase(p);
    }
}

void QtPlatform::runModal(ui::Page* page) {
    PageWindow* window = windowOf(page);
    window->refresh();
    window->exec();
}

void QtPlatform::exitProcess(int code) {
    QApplication::exit(code);
    std::exit(code);
}

void QtPlatform::runOnInterfaceThread(const std::function<void()>& work) {
    if (QThread::currentThread() == context_.thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(
        &context_, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

}  // namespace prendle::gui

namespace prendle::gui {

void QtPlatform::waitUntil(const std::function<bool()>& done) {
    while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

}  // namespace prendle::gui
