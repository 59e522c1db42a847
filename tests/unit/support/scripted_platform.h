// A platform for page tests: message boxes answer from a script, choosers return queued
// paths, and everything the pages ask for is recorded.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ui/page.h"

namespace prendle::test {

struct ShownMessage {
    std::string text;
    std::optional<std::string> caption;
    ui::Icon icon;
    ui::Buttons buttons;
};

class ScriptedPlatform : public ui::Platform {
public:
    ui::Answer messageBox(ui::Page*, const std::string& text,
                          const std::optional<std::string>& caption, ui::Icon icon,
                          ui::Buttons buttons) override {
        std::lock_guard lock(mutex);
        messages.push_back({text, caption, icon, buttons});
        if (buttons == ui::Buttons::Ok) return ui::Answer::Ok;
        if (answers.empty()) return ui::Answer::No;
        ui::Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::string> openFile(ui::Page*, const std::string& extension,
                                        const std::string& filter) override {
        lastFilter = extension + "|" + filter;
        return next(files);
    }
    std::optional<std::string> chooseFolder(ui::Page*, const std::string& title) override {
        lastFolderTitle = title;
        return next(folders);
    }
    void openLink(const std::string& target) override { links.push_back(target); }
    void pageChanged(ui::Page*) override {}
    void showPage(ui::Page* page, bool visible) override {
        if (visible) shown.push_back(page->templateId());
    }
    void runModal(ui::Page*) override {}
    void exitProcess(int code) override { exitCode = code; }
    void runOnInterfaceThread(const std::function<void()>& work) override {
        std::lock_guard lock(interfaceThread);
        work();
    }
    void waitUntil(const std::function<bool()>& done) override {
        while (!done()) std::this_thread::yield();
    }

    std::vector<std::string> texts() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& m : messages) out.push_back(m.text);
        return out;
    }

    std::mutex mutex, interfaceThread;
    std::deque<ui::Answer> answers;
    std::deque<std::optional<std::string>> files, folders;
    std::vector<ShownMessage> messages;
    std::vector<std::string> links;
    std::vector<int> shown;
    std::optional<int> exitCode;
    std::string lastFilter, lastFolderTitle;

private:
    static std::optional<std::string> next(std::deque<std::optional<std::string>>& queue) {
        if (queue.empty()) return std::nullopt;
        auto out = queue.front();
        queue.pop_front();
        return out;
    }
};

}  // namespace prendle::test
