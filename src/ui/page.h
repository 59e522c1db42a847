// Pages as models: controls held by id with their kind, text and state, the chain of
// pages (Next creates the next page with this one as parent; Back shows the parent and
// destroys this one) and the services a page asks of the platform. The Qt front end
// renders these models; tests drive them headless.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CXHtmlTree;
class CCheckListCtrl;
namespace prendle {
struct Session;
}

namespace prendle::ui {

inline constexpr char kCaption[] = "Prendle v22.0";

enum class ControlKind {
    Label,
    Edit,
    Button,
    ImageButton,
    MenuButton,
    Radio,
    CheckBox,
    Group,
    ComboBox,
    ListView,
    ProgressBar,
    SpinButton,
    TreeView,
    LinkButton
};

struct Control {
    int id = 0;
    ControlKind kind = ControlKind::Label;
    std::string text;
    std::string tooltip;
    int image = 0;  // image resource of an image button
    bool enabled = true;
    bool visible = true;
    bool checked = false;
    bool readOnly = false;
    // Drop-down lists: items and the selected index (-1 none). List views: columns and
    // rows of texts, and the selected row.
    std::vector<std::string> items;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    int selection = -1;
    int64_t rangeLow = 0, rangeHigh = 100, position = 0;
};

enum class Icon { None, Information, Question };
enum class Buttons { Ok, YesNo };
enum class Answer { Ok, Yes, No };

class Page;
class Worker;

// What pages ask of the platform: the Qt front end, or a scripted stand-in in tests.
class Platform {
public:
    virtual ~Platform() = default;
    // A caption of nullopt is the application's default caption.
    virtual Answer messageBox(Page* owner, const std::string& text,
                              const std::optional<std::string>& caption, Icon icon,
                              Buttons buttons) = 0;
    virtual std::optional<std::string> openFile(Page* owner, const std::string& defaultExtension,
                                                const std::string& filter) = 0;
    virtual std::optional<std::string> chooseFolder(Page* owner, const std::string& title) = 0;
    virtual void openLink(const std::string& target) = 0;
    // The page's controls changed (from any thread); the front end redraws them.
    virtual void pageChanged(Page* page) = 0;
    virtual void showPage(Page* page, bool visible) = 0;
    virtual void runModal(Page* page) = 0;
    virtual void exitProcess(int code) = 0;
    // Runs `work` on the interface thread and waits for it: how a worker touches its
    // page's controls or shows a message box.
    virtual void runOnInterfaceThread(const std::function<void()>& work) = 0;
    // Keeps the interface thread serving workers until `done` holds: how a page waits
    // for its worker without a deadlock.
    virtual void waitUntil(const std::function<bool()>& done) = 0;
};

// The Help menu's addresses; with no home page nothing is opened.
struct AppLinks {
    std::string homePage;
    std::string helpPage;
};

class Page {
public:
    Page(Platform& platform, int templateId) : platform_(platform), templateId_(templateId) {}
    virtual ~Page();

    int templateId() const { return templateId_; }
    Page* parent() const { return parent_; }
    Page* child() const { return child_.get(); }
    const std::string& caption() const { return caption_; }
    bool visible() const { return visible_; }
    // A modal page asks to be closed (the About box's OK).
    bool closeRequested() const { return closeRequested_; }

    // The run's session: set on the first page, handed to each page Next creates.
    Session& session() const { return *session_; }
    bool hasSession() const { return session_ != nullptr; }
    void setSession(Session& session) { session_ = &session; }

    Control& control(int id);
    const Control& control(int id) const;
    bool hasControl(int id) const { return controls_.count(id) > 0; }
    // Controls in the order they were added, for layout.
    std::vector<int> controlOrder() const { return order_; }

    // Input from the user, as the front end reports it.
    virtual void command(int id);
    virtual void listSelectionChanged(int id, int row) {
        control(id).selection = row;
        changed();
    }
    virtual void spin(int /*id*/, int /*delta*/) {}
    virtual void keyPressed(int key);  // Enter and Escape are swallowed
    // The models behind a tree or check-list control, for pages that have them.
    virtual CXHtmlTree* treeModel(int /*id*/) { return nullptr; }
    virtual CCheckListCtrl* checkListModel(int /*id*/) { return nullptr; }
    virtual void treeExpanding(int /*id*/, uint32_t /*item*/) {}
    virtual void treeDoubleClicked(int /*id*/, uint32_t /*item*/) {}
    virtual void checkListClicked(int /*id*/, size_t /*row*/) {}
    void setText(int id, const std::string& text) {
        control(id).text = text;
        changed();
    }

    // A message box owned by this page with the product caption.
    Answer message(const std::string& text, Icon icon = Icon::Information,
                   Buttons buttons = Buttons::Ok);
    // The framework's default caption (the application's name).
    Answer plainMessage(const std::string& text);
    // From a worker: change controls on the interface thread, then redraw.
    void fromWorker(const std::function<void()>& work) {
        platform_.runOnInterfaceThread([&] {
            work();
            changed();
        });
    }

    // Walks up the parent chain to the nearest page of a template.
    Page* ancestor(int templateId) const;

    void initialise();  // called once when the page is created

    static constexpr int kHelpMenu = 1326;
    static constexpr int kHelpItem = 32774, kHomePageItem = 32773, kAboutItem = 32772;
    static constexpr int kDefaultButton = 1;
    static constexpr int kCancel = 2;

    static AppLinks links;
    // Runs the About box modally over a page; set by the application.
    static std::function<void(Page&)> showAbout;

protected:
    virtual void onInit() {}
    // Runs before the page goes away on Exit; the default ends nothing.
    virtual void closingStep() {}
    // Stops this page's worker and waits for it; every page's runs before the process
    // ends, so no worker outlives the reader it reads through.
    virtual void endWork() {}
    void endAllWork();

    Control& add(int id, ControlKind kind, const std::string& text = {});
    void addImageButton(int id, int image, const std::string& tooltip);
    void addHelpButton();
    void changed() { platform_.pageChanged(this); }
    // Stops nothing itself: waits, serving the worker's calls, until it has ended.
    void finishWorker(Worker& worker);

    // Next: the new page gets this one as parent, is shown, and this page is hidden.
    Page* goNext(std::unique_ptr<Page> next);
    // Back: the parent is shown again and this page is destroyed.
    void goBack();
    // Exit (IDCANCEL): "Do you want to Close Application ?".
    void exitAsked();

    Platform& platform_;
    Session* session_ = nullptr;
    bool closeRequested_ = false;

private:
    int templateId_;
    std::string caption_ = kCaption;
    Page* parent_ = nullptr;
    std::unique_ptr<Page> child_;
    std::map<int, Control> controls_;
    std::vector<int> order_;
    bool visible_ = false;
};

}  // namespace prendle::ui
