// Smart checking in the tree model: counts, propagation both ways and state images.
#include "controls/check_tree.h"

#include <gtest/gtest.h>

namespace {

class SmartTree : public testing::Test {
protected:
    void SetUp() override {
        tree.smartCheck = true;
        top = tree.insertTreeItem("ROOT", 0, 0);
        folder = tree.insertTreeItem("folder", 0, 0, top);
        for (int i = 0; i < 3; ++i) files.push_back(tree.insertTreeItem("f", 1, 1, folder));
        tree.onCheckboxClicked = [&](TreeItem item, bool state) {
            clicks.emplace_back(item, state);
        };
    }
    CXHtmlTree tree;
    TreeItem top = 0, folder = 0;
    std::vector<TreeItem> files;
    std::vector<std::pair<TreeItem, bool>> clicks;
};

TEST_F(SmartTree, CheckingAFolderChecksEverythingBelowAndUncheckingOneMakesItTriState) {
    tree.setItemCheck(folder, true);
    for (TreeItem f : files) EXPECT_EQ(tree.stateImage(f), 2);
    EXPECT_TRUE(tree.getItemCheck(folder));
    EXPECT_TRUE(tree.getItemCheck(top));
    EXPECT_EQ(tree.countCheckedItems(), 5u);
    tree.setItemCheck(files[1], false);
    EXPECT_EQ(tree.stateImage(folder), 3);
    EXPECT_FALSE(tree.getItemCheck(folder));
    EXPECT_EQ(tree.stateImage(top), 3);
    EXPECT_EQ(clicks.back(), std::make_pair(files[1], false));
}

TEST_F(SmartTree, CheckingTheLastFileChecksTheFolderAndItsParent) {
    tree.setItemCheck(files[0], true);
    tree.setItemCheck(files[1], true);
    EXPECT_EQ(tree.stateImage(folder), 3);
    tree.setItemCheck(files[2], true);
    EXPECT_EQ(tree.stateImage(folder), 2);
    EXPECT_TRUE(tree.getItemCheck(top));
}

TEST_F(SmartTree, InsertingAndDeletingChildrenUpdateTheCounts) {
    tree.setItemCheck(folder, true);
    TreeItem late = tree.insertTreeItem("late", 1, 1, folder);
    EXPECT_EQ(tree.stateImage(folder), 3);
    EXPECT_FALSE(tree.getItemCheck(top));
    tree.deleteTreeItem(late);
    EXPECT_TRUE(tree.getItemCheck(folder));
    tree.deleteTreeItem(folder);
    EXPECT_FALSE(tree.exists(files[0]));
    EXPECT_EQ(tree.record(top)->descendantCount, 0u);
}

TEST_F(SmartTree, DisabledItemsAndSeparatorsRefuseChecks) {
    tree.enableItem(files[0], false);
    tree.clickCheckBox(files[0]);
    EXPECT_FALSE(tree.record(files[0])->checked);
    EXPECT_EQ(tree.stateImage(files[0]) & 7, 5);  // 13 right after the click: its hot twin
    tree.selectTreeItem(files[1]);
    tree.pressSpace();
    EXPECT_TRUE(tree.getItemCheck(files[1]));
    TreeItem line = tree.insertTreeItem("", 0, 0, folder);
    tree.setSeparator(line);
    tree.setItemCheck(line, true);
    EXPECT_FALSE(tree.record(line)->checked);
    EXPECT_FALSE(tree.setTreeItemText(line, "x"));
}

TEST_F(SmartTree, ACheckBoxClickShowsTheHotImageUntilTheNextChange) {
    tree.clickCheckBox(files[2]);
    EXPECT_EQ(tree.stateImage(files[2]), 10);
    EXPECT_EQ(tree.selectedItem(), files[2]);
    tree.setItemCheck(files[2], false);
    EXPECT_EQ(tree.stateImage(files[2]), 1);
}

TEST_F(SmartTree, LabelClicksAndExpansionReachThePage) {
    TreeItem clicked = 0;
    std::vector<bool> expansions;
    tree.onItemClicked = [&](TreeItem item) { clicked = item; };
    tree.onItemExpanded = [&](TreeItem, bool state) { expansions.push_back(state); };
    tree.clickLabel(folder);
    EXPECT_EQ(clicked, folder);
    tree.doubleClick(folder);
    tree.expandTreeItem(folder, ExpandCode::Expand);
    tree.expandTreeItem(files[0], ExpandCode::Expand);  // no children: nothing
    tree.expandTreeItem(folder, ExpandCode::Collapse);
    EXPECT_EQ(expansions, (std::vector<bool>{true, false}));
    EXPECT_TRUE(tree.record(folder)->expandedOnce);
}

TEST(PlainTree, WithoutSmartCheckEachItemKeepsItsOwnState) {
    CXHtmlTree tree;
    TreeItem parent = tree.insertTreeItem("p", 0, 0);
    TreeItem child = tree.insertTreeItem("c", 0, 0, parent);
    tree.setItemCheck(parent, true);
    EXPECT_FALSE(tree.getItemCheck(child));
    EXPECT_EQ(tree.setItemTextColour(child, kDeletedTextColour), -1);
    EXPECT_EQ(tree.record(child)->textColour, kDeletedTextColour);
    tree.checkBoxes = false;
    EXPECT_EQ(tree.countCheckedItems(), 0u);
}

}  // namespace
