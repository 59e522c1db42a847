// Saves the top item of an NTFS volume image through the browser page model, headless:
// what a user's Save of the whole volume does, for timing against tsk_recover.
// Usage: prendle_bench_save IMAGE OUT_FOLDER
#include <iostream>
#include <mutex>
#include <thread>

#include "browser/volume_scan_dlg.h"
#include "disk/image_kind.h"
#include "disk/session.h"

namespace {

class Headless : public prendle::ui::Platform {
public:
    explicit Headless(std::string folder) : folder_(std::move(folder)) {}
    prendle::ui::Answer messageBox(prendle::ui::Page*, const std::string&,
                                   const std::optional<std::string>&, prendle::ui::Icon,
                                   prendle::ui::Buttons) override {
        return prendle::ui::Answer::Yes;
    }
    std::optional<std::string> openFile(prendle::ui::Page*, const std::string&,
                                        const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> chooseFolder(prendle::ui::Page*, const std::string&) override {
        return folder_;
    }
    void openLink(const std::string&) override {}
    void pageChanged(prendle::ui::Page*) override {}
    void showPage(prendle::ui::Page*, bool) override {}
    void runModal(prendle::ui::Page*) override {}
    void exitProcess(int) override {}
    void runOnInterfaceThread(const std::function<void()>& work) override {
        std::lock_guard lock(mutex_);
        work();
    }
    void waitUntil(const std::function<bool()>& done) override {
        while (!done()) std::this_thread::yield();
    }

private:
    std::string folder_;
    std::mutex mutex_;
};

class Source : public prendle::ui::Page, public prendle::browser::VolumeSource {
public:
    explicit Source(prendle::ui::Platform& platform) : Page(platform, 136) {}
    VolumeInfo browsedVolume() const override {
        return {"NTFS", "", "0", "0", 0, FileSystemKind::Ntfs};
    }
    prendle::fs::ParseMode browsedMode() const override { return prendle::fs::ParseMode::Standard; }
    prendle::browser::VolumeScanDlg* open() {
        goNext(std::make_unique<prendle::browser::VolumeScanDlg>(platform_));
        return dynamic_cast<prendle::browser::VolumeScanDlg*>(child());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: prendle_bench_save IMAGE OUT_FOLDER\n";
        return 2;
    }
    auto opened = prendle::openImage(argv[1]);
    if (!opened) {
        std::cerr << opened.error().message << "\n";
        return 1;
    }
    prendle::Session session;
    session.reader = std::move(opened.value());
    Headless platform(argv[2]);
    Source source(platform);
    source.setSession(session);
    source.initialise();
    auto* page = source.open();
    page->worker().join();
    page->tree.selectTreeItem(page->rootItem());
    page->command(prendle::browser::VolumeScanDlg::kSave);
    page->worker().join();
    return 0;
}
