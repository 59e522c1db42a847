#include "ui/page.h"

#include <cassert>

#include "ui/worker.h"

namespace prendle::ui {

AppLinks Page::links;
std::function<void(Page&)> Page::showAbout;

Page::~Page() = default;

Control& Page::control(int id) {
    auto found = controls_.find(id);
    assert(found != controls_.end() && "a page asked for a control it does not have");
    if (found == controls_.end()) {
        static Control nowhere;
        nowhere = Control{};
        return nowhere;
    }
    return found->second;
}

const Control& Page::control(int id) const {
    return const_cast<Page*>(this)->control(id);
}

Control& Page::add(int id, ControlKind kind, const std::string& text) {
    Control& c = controls_[id];
    c.id = id;
    c.kind = kind;
    c.text = text;
    order_.push_back(id);
    return c;
}

void Page::addImageButton(int id, int image, const std::string& tooltip) {
    Control& c = add(id, ControlKind::ImageButton);
    c.image = image;
    c.tooltip = tooltip;
}

void Page::addHelpButton() {
    addImageButton(kHelpMenu, 165, "Help");
}

void Page::initialise() {
    onInit();
    changed();
}

Page* Page::ancestor(int templateId) const {
    for (Page* p = parent_; p != nullptr; p = p->parent_)
        if (p->templateId_ == templateId) return p;
    return nullptr;
}

Answer Page::message(const std::string& text, Icon icon, Buttons buttons) {
    return platform_.messageBox(this, text, std::string(kCaption), icon, buttons);
}

Answer Page::plainMessage(const std::string& text) {
    return platform_.messageBox(this, text, std::nullopt, Icon::None, Buttons::Ok);
}

Page* Page::goNext(std::unique_ptr<Page> next) {
    Page* raw = next.get();
    next->parent_ = this;
    next->session_ = session_;
    child_ = std::move(next);
    raw->initialise();
    raw->visible_ = true;
    platform_.showPage(raw, true);
    visible_ = false;
    platform_.showPage(this, false);
    return raw;
}

void Page::goBack() {
    Page* parent = parent_;
    if (parent == nullptr) return;
    parent->visible_ = true;
    platform_.showPage(parent, true);
    visible_ = false;
    platform_.showPage(this, false);
    // Destroys this page: nothing of it may be touched after this line.
    parent->child_.reset();
}

void Page::exitAsked() {
    if (message("Do you want to Close Application ?", Icon::Information, Buttons::YesNo) !=
        Answer::Yes)
        return;
    if (!links.homePage.empty()) platform_.openLink(links.homePage);
    closingStep();
    endAllWork();
    platform_.exitProcess(0);
}

void Page::endAllWork() {
    Page* root = this;
    while (root->parent_ != nullptr) root = root->parent_;
    for (Page* page = root; page != nullptr; page = page->child_.get()) page->endWork();
}

void Page::command(int id) {
    switch (id) {
        case kCancel:
            exitAsked();
            return;
        case kDefaultButton:
            // The invisible default button ends the page and the process without asking.
            closingStep();
            endAllWork();
            platform_.exitProcess(0);
            return;
        case kHelpItem:
            if (!links.helpPage.empty()) platform_.openLink(links.helpPage);
            return;
        case kHomePageItem:
            if (!links.homePage.empty()) platform_.openLink(links.homePage);
            return;
        case kAboutItem:
            if (showAbout) showAbout(*this);
            return;
        default:
            return;
    }
}

void Page::keyPressed(int /*key*/) {}

void Page::finishWorker(Worker& worker) {
    platform_.waitUntil([&worker] { return !worker.running(); });
    worker.join();
}

}  // namespace prendle::ui
