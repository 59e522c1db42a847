#include "gui/page_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "controls/check_list.h"
#include "controls/check_tree.h"

namespace prendle::gui {

using ui::Control;
using ui::ControlKind;

QIcon actionIcon(int image) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor accent(0x1f, 0x6f, 0xb2);
    p.setBrush(accent);
    p.setPen(Qt::NoPen);
    QPainterPath path;
    switch (image) {
        case 166:  // Next: an arrow to the right
            path.moveTo(8, 6);
            path.lineTo(26, 16);
            path.lineTo(8, 26);
            path.closeSubpath();
            break;
        case 160:  // Back
            path.moveTo(24, 6);
            path.lineTo(6, 16);
            path.lineTo(24, 26);
            path.closeSubpath();
            break;
        case 175:  // Stop
            p.setBrush(QColor(0xc0, 0x39, 0x2b));
            path.addRoundedRect(7, 7, 18, 18, 3, 3);
            break;
        case 169:  // Pause
            path.addRect(8, 7, 6, 18);
            path.addRect(18, 7, 6, 18);
            break;
        case 170:  // Resume
            p.setBrush(QColor(0x27, 0xae, 0x60));
            path.moveTo(9, 6);
            path.lineTo(26, 16);
            path.lineTo(9, 26);
            path.closeSubpath();
            break;
        case 165: {  // Help: a question mark in a circle
            path.addEllipse(4, 4, 24, 24);
            p.drawPath(path);
            p.setPen(Qt::white);
            QFont font = p.font();
            font.setBold(true);
            font.setPixelSize(18);
            p.setFont(font);
            p.drawText(QRect(4, 4, 24, 24), Qt::AlignCenter, "?");
            return QIcon(pixmap);
        }
        case 164:  // Filter: a funnel
            path.moveTo(5, 7);
            path.lineTo(27, 7);
            path.lineTo(18, 17);
            path.lineTo(18, 26);
            path.lineTo(14, 24);
            path.lineTo(14, 17);
            path.closeSubpath();
            break;
        case 159:  // Add: a plus
            path.addRect(14, 6, 4, 20);
            path.addRect(6, 14, 20, 4);
            break;
        case 172: {  // Search: a magnifying glass
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(accent, 3));
            p.drawEllipse(6, 6, 14, 14);
            p.drawLine(18, 18, 26, 26);
            return QIcon(pixmap);
        }
        case 171:  // Save: an arrow down into a tray
            path.addRect(14, 4, 4, 12);
            path.moveTo(8, 14);
            path.lineTo(24, 14);
            path.lineTo(16, 22);
            path.closeSubpath();
            path.addRect(5, 24, 22, 3);
            break;
        default:
            path.addEllipse(8, 8, 16, 16);
    }
    p.drawPath(path);
    return QIcon(pixmap);
}

PageWindow::PageWindow(ui::Page& page, QWidget* parent) : QDialog(parent), page_(page) {
    setWindowTitle(QString::fromStdString(page.caption()));
    setMinimumWidth(560);
    build();
    for (int id : page.controlOrder())
        if (page.control(id).kind == ControlKind::TreeView) setMinimumSize(940, 600);
    refresh();
}

QWidget* PageWindow::makeWidget(const Control& c) {
    const int id = c.id;
    switch (c.kind) {
        case ControlKind::Label:
            return new QLabel(this);
        case ControlKind::Group: {
            auto* label = new QLabel(this);
            QFont font = label->font();
            font.setBold(true);
            label->setFont(font);
            return label;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(this);
            connect(edit, &QLineEdit::textEdited, this,
                    [this, id](const QString& text) { page_.setText(id, text.toStdString()); });
            return edit;
        }
        case ControlKind::Radio: {
            auto* radio = new QRadioButton(this);
            radio->setAutoExclusive(false);
            connect(radio, &QRadioButton::clicked, this, [this, id] {
                page_.command(id);
                refresh();
            });
            return radio;
        }
        case ControlKind::CheckBox: {
            auto* box = new QCheckBox(this);
            connect(box, &QCheckBox::clicked, this, [this, id] {
                page_.command(id);
                refresh();
            });
            return box;
        }
        case ControlKind::ComboBox: {
            auto* combo = new QComboBox(this);
            connect(combo, &QComboBox::activated, this,
                    [this, id](int index) { page_.control(id).selection = index; });
            return combo;
        }
        case ControlKind::ListView: {
            auto* list = new QTreeWidget(this);
            list->setRootIsDecorated(false);
            list->setAlternatingRowColors(true);
            list->setColumnCount(static_cast<int>(c.columns.size()));
            QStringList headers;
            for (const auto& column : c.columns) headers << QString::fromStdString(column);
            list->setHeaderLabels(headers);
            list->setMinimumHeight(170);
            if (page_.checkListModel(id) != nullptr) {
                list->setMinimumWidth(520);
                connect(list, &QTreeWidget::itemChanged, this,
                        [this, list, id](QTreeWidgetItem* item, int) {
                            if (refreshing_) return;
                            page_.checkListClicked(
                                id, static_cast<size_t>(list->indexOfTopLevelItem(item)));
                            refresh();
                        });
                connect(list->header(), &QHeaderView::sectionClicked, this, [this, id](int column) {
                    if (CCheckListCtrl* model = page_.checkListModel(id))
                        model->headerClicked(column);
                    refresh();
                });
                return list;
            }
            connect(list, &QTreeWidget::itemSelectionChanged, this, [this, list, id] {
                if (refreshing_) return;
                page_.listSelectionChanged(id, list->indexOfTopLevelItem(list->currentItem()));
                refresh();
            });
            return list;
        }
        case ControlKind::TreeView: {
            auto* view = new QTreeWidget(this);
            view->setHeaderHidden(true);
            view->setMinimumSize(260, 220);
            auto itemOf = [](QTreeWidgetItem* item) {
                return item ? item->data(0, Qt::UserRole).toUInt() : 0u;
            };
            connect(view, &QTreeWidget::itemExpanded, this,
                    [this, id, itemOf](QTreeWidgetItem* item) {
                        if (refreshing_) return;
                        page_.treeExpanding(id, itemOf(item));
                        if (CXHtmlTree* tree = page_.treeModel(id))
                            tree->expandTreeItem(itemOf(item), ExpandCode::Expand);
                        refresh();
                    });
            connect(view, &QTreeWidget::itemCollapsed, this,
                    [this, id, itemOf](QTreeWidgetItem* item) {
                        if (refreshing_) return;
                        if (CXHtmlTree* tree = page_.treeModel(id))
                            tree->expandTreeItem(itemOf(item), ExpandCode::Collapse);
                    });
            connect(view, &QTreeWidget::itemChanged, this,
                    [this, id, itemOf](QTreeWidgetItem* item, int) {
                        if (refreshing_) return;
                        if (CXHtmlTree* tree = page_.treeModel(id))
                            tree->clickCheckBox(itemOf(item));
                        refresh();
                    });
            connect(view, &QTreeWidget::itemClicked, this,
                    [this, id, itemOf](QTreeWidgetItem* item, int) {
                        if (refreshing_) return;
                        if (CXHtmlTree* tree = page_.treeModel(id)) tree->clickLabel(itemOf(item));
                        refresh();
                    });
            connect(view, &QTreeWidget::itemDoubleClicked, this,
                    [this, id, itemOf](QTreeWidgetItem* item, int) {
                        if (refreshing_) return;
                        page_.treeDoubleClicked(id, itemOf(item));
                        refresh();
                    });
            return view;
        }
        case ControlKind::ProgressBar:
            return new QProgressBar(this);
        case ControlKind::SpinButton: {
            auto* box = new QWidget(this);
            auto* layout = new QHBoxLayout(box);
            layout->setContentsMargins(0, 0, 0, 0);
            for (auto [text, delta] : {std::pair{"+", -1}, std::pair{"-", 1}}) {
                auto* button = new QToolButton(box);
                button->setText(text);
                connect(button, &QToolButton::clicked, this, [this, id, delta = delta] {
                    page_.spin(id, delta);
                    refresh();
                });
                layout->addWidget(button);
            }
            return box;
        }
        case ControlKind::MenuButton:
        case ControlKind::ImageButton: {
            auto* button = new QToolButton(this);
            button->setIcon(actionIcon(c.image));
            button->setIconSize(QSize(24, 24));
            button->setToolTip(QString::fromStdString(c.tooltip));
            button->setAutoRaise(true);
            if (id == ui::Page::kHelpMenu) {
                auto* menu = new QMenu(button);
                for (auto [text, item] : {std::pair{"Help", ui::Page::kHelpItem},
                                          std::pair{"Software Homepage", ui::Page::kHomePageItem},
                                          std::pair{"About", ui::Page::kAboutItem}})
                    menu->addAction(text, this, [this, item = item] { page_.command(item); });
                button->setMenu(menu);
                button->setPopupMode(QToolButton::InstantPopup);
            } else {
                if (!c.text.empty()) button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
                connect(button, &QToolButton::clicked, this, [this, id] {
                    page_.command(id);
                    refresh();
                });
            }
            return button;
        }
        case ControlKind::LinkButton: {
            auto* button = new QPushButton(this);
            button->setFlat(true);
            button->setCursor(Qt::PointingHandCursor);
            connect(button, &QPushButton::clicked, this, [this, id] { page_.command(id); });
            return button;
        }
        case ControlKind::Button:
        default: {
            auto* button = new QPushButton(this);
            connect(button, &QPushButton::clicked, this, [this, id] {
                page_.command(id);
                refresh();
            });
            return button;
        }
    }
}

void PageWindow::build() {
    auto* outer = new QVBoxLayout(this);
    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(12);
    outer->addLayout(grid);
    auto* bar = new QHBoxLayout();
    auto* spacer = new QVBoxLayout();
    outer->addLayout(spacer, 1);
    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    outer->addWidget(rule);
    outer->addLayout(bar);

    std::vector<int> order = page_.controlOrder();
    int row = 0;
    bool fillsHeight = false;
    std::vector<QWidget*> navigation;
    for (size_t i = 0; i < order.size(); ++i) {
        const Control& c = page_.control(order[i]);
        if (c.id == ui::Page::kDefaultButton && page_.templateId() != 100) continue;
        QWidget* widget = makeWidget(c);
        widgets_[c.id] = widget;
        if (c.kind == ControlKind::ImageButton || c.kind == ControlKind::MenuButton) {
            navigation.push_back(widget);
            continue;
        }
        // A label followed by its field shares a row; a unit label follows on the right.
        const bool labelFirst = c.kind == ControlKind::Label && i + 1 < order.size() &&
                                (page_.control(order[i + 1]).kind == ControlKind::Edit ||
                                 page_.control(order[i + 1]).kind == ControlKind::ComboBox ||
                                 page_.control(order[i + 1]).kind == ControlKind::Label);
        if (labelFirst && !c.text.empty()) {
            grid->addWidget(widget, row, 0);
            const Control& field = page_.control(order[++i]);
            QWidget* fieldWidget = makeWidget(field);
            widgets_[field.id] = fieldWidget;
            grid->addWidget(fieldWidget, row, 1);
            if (i + 1 < order.size()) {
                const Control& after = page_.control(order[i + 1]);
                if (after.kind == ControlKind::SpinButton ||
                    (after.kind == ControlKind::Label && after.text.size() <= 6) ||
                    (after.kind == ControlKind::Button && after.text == "...")) {
                    QWidget* extra = makeWidget(after);
                    widgets_[after.id] = extra;
                    grid->addWidget(extra, row, 2);
                    ++i;
                }
            }
        } else if (c.kind == ControlKind::TreeView && i + 1 < order.size() &&
                   page_.checkListModel(order[i + 1]) != nullptr) {
            // The browser: its tree on the left, the file list on the right.
            const Control& listControl = page_.control(order[++i]);
            QWidget* listWidget = makeWidget(listControl);
            widgets_[listControl.id] = listWidget;
            auto* pair = new QHBoxLayout();
            pair->addWidget(widget, 2);
            pair->addWidget(listWidget, 3);
            grid->addLayout(pair, row, 0, 1, 3);
            grid->setRowStretch(row, 1);
            fillsHeight = true;
        } else {
            grid->addWidget(widget, row, 0, 1, 3);
        }
        ++row;
    }
    grid->setColumnStretch(1, 1);
    // Pages without a tree keep their controls at the top; the browser's tree fills.
    if (fillsHeight) {
        outer->setStretchFactor(grid, 1);
        outer->setStretchFactor(spacer, 0);
    }
    // Help on the left, the page's actions on the right, Next last.
    for (QWidget* w : navigation)
        if (widgets_.count(ui::Page::kHelpMenu) && w == widgets_[ui::Page::kHelpMenu])
            bar->addWidget(w);
    bar->addStretch(1);
    for (QWidget* w : navigation)
        if (!widgets_.count(ui::Page::kHelpMenu) || w != widgets_[ui::Page::kHelpMenu])
            bar->addWidget(w);
}

void PageWindow::refresh() {
    refreshing_ = true;
    for (auto& [id, widget] : widgets_) {
        const Control& c = page_.control(id);
        const QString text = QString::fromStdString(c.text);
        widget->setVisible(c.visible);
        widget->setEnabled(c.enabled);
        if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(text);
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            if (edit->text() != text) edit->setText(text);
            edit->setReadOnly(c.readOnly);
        }
        if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
            radio->setText(text);
            radio->setChecked(c.checked);
        }
        if (auto* box = qobject_cast<QCheckBox*>(widget)) {
            box->setText(text);
            box->setChecked(c.checked);
        }
        if (auto* button = qobject_cast<QPushButton*>(widget)) button->setText(text);
        if (auto* button = qobject_cast<QToolButton*>(widget)) button->setText(text);
        if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            if (combo->count() != static_cast<int>(c.items.size())) {
                combo->clear();
                for (const auto& item : c.items) combo->addItem(QString::fromStdString(item));
            }
            combo->setCurrentIndex(c.selection);
        }
        if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
            bar->setRange(static_cast<int>(c.rangeLow),
                          static_cast<int>(std::min<int64_t>(c.rangeHigh, INT32_MAX)));
            bar->setValue(static_cast<int>(std::min<int64_t>(c.position, INT32_MAX)));
        }
        if (c.kind == ControlKind::TreeView) {
            refreshTree(id, qobject_cast<QTreeWidget*>(widget));
            continue;
        }
        if (page_.checkListModel(id) != nullptr) {
            refreshCheckList(id, qobject_cast<QTreeWidget*>(widget));
            continue;
        }
        if (auto* list = qobject_cast<QTreeWidget*>(widget)) {
            if (list->topLevelItemCount() != static_cast<int>(c.rows.size()) ||
                (list->topLevelItemCount() > 0 &&
                 list->topLevelItem(0)->text(0).toStdString() != c.rows[0][0])) {
                list->clear();
                for (const auto& cells : c.rows) {
                    QStringList texts;
                    for (const auto& cell : cells) texts << QString::fromStdString(cell);
                    list->addTopLevelItem(new QTreeWidgetItem(texts));
                }
            }
            if (c.selection >= 0 && c.selection < list->topLevelItemCount())
                list->setCurrentItem(list->topLevelItem(c.selection));
        }
    }
    refreshing_ = false;
    if (page_.closeRequested() && isVisible()) QDialog::accept();
}

void PageWindow::refreshTree(int id, QTreeWidget* view) {
    CXHtmlTree* tree = page_.treeModel(id);
    if (tree == nullptr || view == nullptr) return;
    view->clear();
    // Items are mirrored level by level; the model fills folders lazily, so trees stay small.
    std::vector<std::pair<TreeItem, QTreeWidgetItem*>> pending;
    for (TreeItem top : tree->children(kTreeRoot)) pending.emplace_back(top, nullptr);
    std::vector<std::pair<QTreeWidgetItem*, bool>> expansions;
    QTreeWidgetItem* selected = nullptr;
    for (size_t i = 0; i < pending.size(); ++i) {
        auto [item, parent] = pending[i];
        auto* row = new QTreeWidgetItem(QStringList(QString::fromStdString(tree->text(item))));
        row->setData(0, Qt::UserRole, item);
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        const int state = tree->stateImage(item) & 3;
        row->setCheckState(0, state == 2   ? Qt::Checked
                              : state == 3 ? Qt::PartiallyChecked
                                           : Qt::Unchecked);
        const XHTMLTREEDATA* record = tree->record(item);
        if (record && record->textColour >= 0) {
            const auto c = static_cast<uint32_t>(record->textColour);
            row->setForeground(0, QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
        }
        row->setIcon(0, style()->standardIcon(tree->image(item) == 0 ? QStyle::SP_DirIcon
                                                                     : QStyle::SP_FileIcon));
        if (parent) {
            parent->addChild(row);
        } else {
            view->addTopLevelItem(row);
        }
        if (item == tree->selectedItem()) selected = row;
        expansions.emplace_back(row, record && record->expanded);
        for (TreeItem child : tree->children(item)) pending.emplace_back(child, row);
    }
    for (auto [row, expanded] : expansions) row->setExpanded(expanded);
    if (selected) view->setCurrentItem(selected);
}

void PageWindow::refreshCheckList(int id, QTreeWidget* view) {
    CCheckListCtrl* list = page_.checkListModel(id);
    if (list == nullptr || view == nullptr) return;
    view->clear();
    for (const auto& row : list->rows) {
        QStringList texts;
        for (const auto& cell : row.cells) texts << QString::fromStdString(cell);
        auto* item = new QTreeWidgetItem(texts);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        if (row.stateImage != 0)
            item->setCheckState(0, row.stateImage == 2 ? Qt::Checked : Qt::Unchecked);
        view->addTopLevelItem(item);
    }
    for (int column = 0; column < view->columnCount(); ++column)
        view->resizeColumnToContents(column);
}

void PageWindow::keyPressEvent(QKeyEvent* event) {
    // Enter and Escape neither close nor advance a page.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

void PageWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    page_.command(ui::Page::kCancel);
}

}  // namespace prendle::gui
