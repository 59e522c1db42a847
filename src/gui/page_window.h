// One page model drawn as a dialog window: widgets built from the controls, kept in step
// with the model by refresh().
#pragma once

#include <QDialog>
#include <map>

#include "ui/page.h"

class QWidget;
class QTreeWidget;

namespace prendle::gui {

class PageWindow : public QDialog {
public:
    PageWindow(ui::Page& page, QWidget* parent);
    void refresh();
    ui::Page& page() { return page_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override {}

private:
    void build();
    QWidget* makeWidget(const ui::Control& control);
    void refreshTree(int id, QTreeWidget* view);
    void refreshCheckList(int id, QTreeWidget* view);

    ui::Page& page_;
    std::map<int, QWidget*> widgets_;
    bool refreshing_ = false;
};

// Our own icons for the image buttons, drawn rather than shipped.
QIcon actionIcon(int imageResource);

}  // namespace prendle::gui
