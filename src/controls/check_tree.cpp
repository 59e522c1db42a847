#include "controls/check_tree.h"

#include <algorithm>

namespace {
constexpr int kNoImage = 0xFFFE;
const std::string kEmpty;
}  // namespace

void CXHtmlTree::initialiseTree() {
    nodes_.assign(1, Node{});
    nodes_[0].alive = true;
    selected_ = 0;
    destroying_ = false;
    checkBoxes = true;
    smartCheck = false;
    readOnlyChecks = false;
    selectOnCheckClick = true;
    showImages = true;
}

CXHtmlTree::Node* CXHtmlTree::node(TreeItem item) {
    if (destroying_ || item >= nodes_.size() || !nodes_[item].alive) return nullptr;
    return &nodes_[item];
}

const CXHtmlTree::Node* CXHtmlTree::node(TreeItem item) const {
    if (destroying_ || item >= nodes_.size() || !nodes_[item].alive) return nullptr;
    return &nodes_[item];
}

bool CXHtmlTree::exists(TreeItem item) const {
    return item != 0 && node(item) != nullptr;
}
TreeItem CXHtmlTree::parentOf(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->parent : 0;
}
TreeItem CXHtmlTree::firstChild(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->firstChild : 0;
}
TreeItem CXHtmlTree::nextSibling(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->nextSibling : 0;
}
std::vector<TreeItem> CXHtmlTree::children(TreeItem item) const {
    std::vector<TreeItem> out;
    for (TreeItem c = firstChild(item); c != 0; c = nextSibling(c)) out.push_back(c);
    return out;
}
const std::string& CXHtmlTree::text(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->text : kEmpty;
}
int CXHtmlTree::image(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->image : kNoImage;
}
uint64_t CXHtmlTree::itemData(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->data : 0;
}
void CXHtmlTree::setItemData(TreeItem item, uint64_t data) {
    if (Node* n = node(item)) n->data = data;
}
const XHTMLTREEDATA* CXHtmlTree::record(TreeItem item) const {
    const Node* n = node(item);
    return n && item != 0 ? &n->record : nullptr;
}

void CXHtmlTree::changed(TreeItem item) {
    if (Node* n = node(item)) n->hot = 0;
    if (onItemChanged) onItemChanged(item);
}

int CXHtmlTree::stateImage(TreeItem item) const {
    const Node* n = node(item);
    if (!n || item == 0) return 0;
    const XHTMLTREEDATA& r = n->record;
    int slot;
    if (smartCheck && r.descendantCount > 0) {
        if (r.checkedDescendantCount == 0) {
            slot = 1;
        } else if (r.checkedDescendantCount == r.descendantCount - r.separatorCount) {
            slot = 2;
        } else {
            slot = 3;
        }
    } else {
        slot = r.checked ? 2 : 1;
    }
    if (!r.enabled) slot += 4;
    return slot + n->hot;
}

bool CXHtmlTree::getItemCheck(TreeItem item) const {
    const XHTMLTREEDATA* r = checkBoxes ? record(item) : nullptr;
    if (!r) return false;
    if (!smartCheck || r->descendantCount == 0) return r->checked;
    if (r->checkedDescendantCount == 0) return false;
    return r->checkedDescendantCount == r->descendantCount - r->separatorCount;
}

int32_t CXHtmlTree::updateAncestor(int32_t delta, TreeItem ancestor) {
    Node* n = node(ancestor);
    if (!n || ancestor == 0) return delta;
    XHTMLTREEDATA& r = n->record;
    int64_t count = int64_t{r.checkedDescendantCount} + delta;
    r.checkedDescendantCount = static_cast<uint32_t>(std::max<int64_t>(count, 0));
    const bool was = r.checked;
    r.checked = r.checkedDescendantCount == r.descendantCount - r.separatorCount;
    changed(ancestor);
    if (r.checked == was) return delta;
    return r.checked ? delta + 1 : delta - 1;
}

void CXHtmlTree::setSubtree(TreeItem item, bool state) {
    // Iterative, so a deep folder cannot exhaust the stack.
    std::vector<TreeItem> pending{item};
    while (!pending.empty()) {
        TreeItem current = pending.back();
        pending.pop_back();
        Node* n = node(current);
        if (!n) continue;
        if (!n->record.separator) {
            XHTMLTREEDATA& r = n->record;
            r.checked = state;
            r.checkedDescendantCount = state && r.descendantCount >= r.separatorCount
                                           ? r.descendantCount - r.separatorCount
                                           : 0;
            changed(current);
        }
        for (TreeItem c = n->firstChild; c != 0; c = nodes_[c].nextSibling) pending.push_back(c);
    }
}

void CXHtmlTree::setItemCheck(TreeItem item, bool newState) {
    Node* n = item != 0 && checkBoxes ? node(item) : nullptr;
    if (!n || !n->record.enabled || n->record.separator) return;
    const bool old = n->record.checked;
    n->record.checked = newState;
    changed(item);
    if (smartCheck && newState != old) {
        const XHTMLTREEDATA& r = n->record;
        int32_t delta = newState
                            ? static_cast<int32_t>(r.descendantCount - r.checkedDescendantCount) + 1
                            : -static_cast<int32_t>(r.checkedDescendantCount + 1);
        setSubtree(item, newState);
        for (TreeItem a = n->parent; a != 0; a = nodes_[a].parent) delta = updateAncestor(delta, a);
    }
    if (onCheckboxClicked) onCheckboxClicked(item, newState);
}

TreeItem CXHtmlTree::insertTreeItem(const std::string& itemText, int itemImage, int selectedImage,
                                    TreeItem parent) {
    if (!node(parent)) return 0;
    Node fresh;
    fresh.alive = true;
    fresh.text = itemText;
    fresh.image = showImages ? itemImage : kNoImage;
    fresh.selectedImage = showImages ? selectedImage : kNoImage;
    fresh.parent = parent;
    const TreeItem item = static_cast<TreeItem>(nodes_.size());
    nodes_.push_back(std::move(fresh));
    Node& p = nodes_[parent];
    if (p.lastChild == 0) {
        p.firstChild = item;
    } else {
        nodes_[p.lastChild].nextSibling = item;
        nodes_[item].previousSibling = p.lastChild;
    }
    p.lastChild = item;
    if (smartCheck) {
        int32_t delta = 0;
        for (TreeItem a = parent; a != 0; a = nodes_[a].parent) {
            nodes_[a].record.descendantCount += 1;
            delta = updateAncestor(delta, a);
        }
    }
    changed(item);
    return item;
}

void CXHtmlTree::deleteLeaf(TreeItem item) {
    Node& n = nodes_[item];
    for (TreeItem a = n.parent; a != 0; a = nodes_[a].parent) {
        XHTMLTREEDATA& r = nodes_[a].record;
        if (r.descendantCount > 0) --r.descendantCount;
        if (n.record.separator && r.separatorCount > 0) --r.separatorCount;
    }
    if (n.record.checked)
        for (TreeItem a = n.parent; a != 0; a = nodes_[a].parent) (void)updateAncestor(-1, a);
    Node& p = nodes_[n.parent];
    if (n.previousSibling != 0) {
        nodes_[n.previousSibling].nextSibling = n.nextSibling;
    } else {
        p.firstChild = n.nextSibling;
    }
    if (n.nextSibling != 0) {
        nodes_[n.nextSibling].previousSibling = n.previousSibling;
    } else {
        p.lastChild = n.previousSibling;
    }
    if (selected_ == item) selected_ = 0;
    n = Node{};
}

void CXHtmlTree::deleteTreeItem(TreeItem item) {
    if (item == 0 || !node(item)) return;
    // Children first, deepest first, without recursion.
    std::vector<TreeItem> order{item};
    for (size_t i = 0; i < order.size(); ++i)
        for (TreeItem c = nodes_[order[i]].firstChild; c != 0; c = nodes_[c].nextSibling)
            order.push_back(c);
    for (auto it = order.rbegin(); it != order.rend(); ++it) deleteLeaf(*it);
    changed(0);
}

void CXHtmlTree::deleteAllTreeItems() {
    selected_ = 0;
    destroying_ = true;
    nodes_.assign(1, Node{});
    nodes_[0].alive = true;
    destroying_ = false;
    changed(0);
}

void CXHtmlTree::expandTreeItem(TreeItem item, ExpandCode code) {
    Node* n = node(item);
    if (!n || item == 0 || n->firstChild == 0 || !n->record.enabled) return;
    const bool was = n->record.expanded;
    n->record.expanded = code == ExpandCode::Collapse ? false
                         : code == ExpandCode::Expand ? true
                                                      : !was;
    if (n->record.expanded) n->record.expandedOnce = true;
    if (n->record.expanded != was && onItemExpanded) onItemExpanded(item, n->record.expanded);
    changed(item);
}

void CXHtmlTree::selectTreeItem(TreeItem item) {
    if (item == selected_) return;
    Node* n = node(item);
    if (!n || item == 0 || !n->record.enabled) return;
    if (onSelectionChanged) onSelectionChanged(item);
    selected_ = item;
}

int64_t CXHtmlTree::setItemTextColour(TreeItem item, int64_t colour) {
    Node* n = node(item);
    if (!n || item == 0) return -1;
    int64_t previous = n->record.textColour;
    n->record.textColour = colour;
    changed(item);
    return previous;
}

bool CXHtmlTree::setTreeItemText(TreeItem item, const std::string& newText) {
    Node* n = node(item);
    if (!n || item == 0 || n->record.separator) return false;
    n->text = newText;
    changed(item);
    return true;
}

size_t CXHtmlTree::countCheckedItems() const {
    if (!checkBoxes) return 0;
    size_t count = 0;
    for (TreeItem item = 1; item < nodes_.size(); ++item)
        if (nodes_[item].alive && getItemCheck(item)) ++count;
    return count;
}

void CXHtmlTree::enableItem(TreeItem item, bool enabled) {
    if (Node* n = node(item); n && item != 0) {
        n->record.enabled = enabled;
        changed(item);
    }
}

void CXHtmlTree::setSeparator(TreeItem item) {
    Node* n = node(item);
    if (!n || item == 0 || n->record.separator) return;
    n->record.separator = true;
    for (TreeItem a = n->parent; a != 0; a = nodes_[a].parent) nodes_[a].record.separatorCount += 1;
    changed(item);
}

void CXHtmlTree::clickCheckBox(TreeItem item) {
    Node* n = node(item);
    if (!n || item == 0 || n->record.separator) return;
    if (n->record.enabled && !readOnlyChecks) setItemCheck(item, !n->record.checked);
    if (selectOnCheckClick) selectTreeItem(item);
    if (Node* again = node(item)) again->hot = 8;
}

void CXHtmlTree::clickLabel(TreeItem item) {
    if (!exists(item)) return;
    selectTreeItem(item);
    if (onItemClicked) onItemClicked(item);
}

void CXHtmlTree::doubleClick(TreeItem item) {
    Node* n = node(item);
    if (!n || item == 0 || !n->record.enabled || n->firstChild == 0) return;
    expandTreeItem(item, ExpandCode::Toggle);
}

void CXHtmlTree::pressSpace() {
    Node* n = node(selected_);
    if (!n || selected_ == 0 || !n->record.enabled || n->record.separator || readOnlyChecks) return;
    setItemCheck(selected_, !n->record.checked);
}
