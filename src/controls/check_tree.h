// The browser's tree of found entries with tri-state check boxes, as a model without a
// toolkit: items, their check records and counts, smart checking, state images, text
// colours and expansion. The Qt view draws it and forwards clicks and keys.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The check record of one item.
struct XHTMLTREEDATA {
    virtual ~XHTMLTREEDATA() = default;
    bool checked = false;
    bool enabled = true;
    bool separator = false;
    bool expanded = false;
    bool expandedOnce = false;
    uint32_t descendantCount = 0;
    uint32_t checkedDescendantCount = 0;
    uint32_t separatorCount = 0;
    std::string tipText;
    uint32_t tipValue = 0;
    int64_t textColour = -1;  // 0x00BBGGRR, -1 = the control's text colour
    int64_t backColour = -1;
    bool bold = false, italic = false, underline = false, strikeOut = false;
};

using TreeItem = uint32_t;  // 0 = no item
inline constexpr TreeItem kTreeRoot = 0;
inline constexpr int64_t kDeletedTextColour = 0x0000FF;  // RGB(255, 0, 0)

enum class ExpandCode { Collapse = 1, Expand = 2, Toggle = 3 };

class CXHtmlTree {
public:
    CXHtmlTree() { initialiseTree(); }

    void initialiseTree();
    TreeItem insertTreeItem(const std::string& text, int image, int selectedImage,
                            TreeItem parent = kTreeRoot);
    void deleteTreeItem(TreeItem item);
    void deleteAllTreeItems();
    void setItemCheck(TreeItem item, bool newState);
    bool getItemCheck(TreeItem item) const;
    void expandTreeItem(TreeItem item, ExpandCode code);
    void selectTreeItem(TreeItem item);
    int64_t setItemTextColour(TreeItem item, int64_t colour);
    bool setTreeItemText(TreeItem item, const std::string& text);
    size_t countCheckedItems() const;
    void enableItem(TreeItem item, bool enabled);
    void setSeparator(TreeItem item);

    // The state image slot an item shows: 1 unchecked, 2 checked, 3 tri-state, +4
    // disabled, +8 just clicked.
    int stateImage(TreeItem item) const;

    // User input, as the view reports it.
    void clickCheckBox(TreeItem item);
    void clickLabel(TreeItem item);
    void doubleClick(TreeItem item);
    void pressSpace();

    // Navigation and item data.
    bool exists(TreeItem item) const;
    TreeItem parentOf(TreeItem item) const;
    TreeItem firstChild(TreeItem item) const;
    TreeItem nextSibling(TreeItem item) const;
    std::vector<TreeItem> children(TreeItem item) const;
    bool hasChildren(TreeItem item) const { return firstChild(item) != 0; }
    const std::string& text(TreeItem item) const;
    int image(TreeItem item) const;
    uint64_t itemData(TreeItem item) const;
    void setItemData(TreeItem item, uint64_t data);
    const XHTMLTREEDATA* record(TreeItem item) const;
    TreeItem selectedItem() const { return selected_; }

    bool checkBoxes = true;
    bool smartCheck = false;
    bool readOnlyChecks = false;
    bool selectOnCheckClick = true;
    bool showImages = true;

    // Messages to the page.
    std::function<void(TreeItem, bool)> onCheckboxClicked;
    std::function<void(TreeItem, bool)> onItemExpanded;
    std::function<void(TreeItem)> onSelectionChanged;
    std::function<void(TreeItem)> onItemClicked;
    // Any change the view must redraw.
    std::function<void(TreeItem)> onItemChanged;

private:
    struct Node {
        bool alive = false;
        TreeItem parent = 0, firstChild = 0, lastChild = 0, nextSibling = 0, previousSibling = 0;
        std::string text;
        int image = 0, selectedImage = 0;
        uint64_t data = 0;
        int hot = 0;  // 8 after a check-box click, until the next refresh
        XHTMLTREEDATA record;
    };
    Node* node(TreeItem item);
    const Node* node(TreeItem item) const;
    int32_t updateAncestor(int32_t delta, TreeItem ancestor);
    void setSubtree(TreeItem item, bool state);
    void deleteLeaf(TreeItem item);
    void changed(TreeItem item);

    std::vector<Node> nodes_;  // index 0 is the invisible top
    TreeItem selected_ = 0;
    bool destroying_ = false;
};
