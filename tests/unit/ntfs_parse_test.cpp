// The NTFS parse on the first 96 KiB of a volume made by mkntfs (boot sector and MFT):
// the first tree level, ORPHAN_ENTRY and what extraction makes of data cut off.
#include <gtest/gtest.h>

#include <algorithm>

#include "disk/file_read_seek_flat.h"
#include "disk/run_state.h"
#include "fs/ntfs/ntfs.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

class Quiet : public ParseListener {
public:
    void setStatus(const std::string& text) override { statuses.push_back(text); }
    void setProgressRange(uint64_t, uint64_t) override {}
    void setProgressPos(uint64_t) override {}
    std::vector<std::string> statuses;
};

class NtfsParse : public testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        ASSERT_TRUE(reader.open(std::string(PRENDLE_SOURCE_DIR) +
                                "/fuzz/corpus/ntfs_volume/small-cut.img"));
    }
    FileReadSeekFlat reader;
    Quiet quiet;
};

TEST_F(NtfsParse, TheFirstLevelListsTheRootsChildrenWithOrphanEntryLast) {
    ntfs parser(reader, VolumeInfo{"NTFS", "", "0", "1   MB", 0}, quiet);
    parser.parse(NtfsMode::Standard);
    ASSERT_TRUE(parser.hasRoot());
    EXPECT_EQ(parser.rootIndex, 5u);
    EXPECT_NE(std::find(quiet.statuses.begin(), quiet.statuses.end(),
                        "boot sector is fine.Getting run of mft entry..."),
              quiet.statuses.end());

    CXHtmlTree tree;
    tree.smartCheck = true;
    TreeItem root = tree.insertTreeItem(g_rootName, 0, 0);
    auto items = parser.insertFirstLevel(tree, root);
    std::vector<std::string> names;
    for (TreeItem item : items) names.push_back(tree.text(item));
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "ORPHAN_ENTRY");
    EXPECT_NE(std::find(names.begin(), names.end(), "$AttrDef"), names.end());
    EXPECT_EQ(tree.itemData(items.back()), parser.orphanIndex);
    EXPECT_TRUE(tree.record(root)->expanded);
}

TEST_F(NtfsParse, DirectoriesAndDataOutsideTheImageGiveClearErrors) {
    ntfs parser(reader, VolumeInfo{"NTFS", "", "0", "1   MB", 0}, quiet);
    parser.parse(NtfsMode::Standard);
    test::TempFolder out;
    std::string path = out.path() + "/";
    auto directory = parser.extractMftEntry("11", path);  // $Extend
    ASSERT_FALSE(directory.ok());
    EXPECT_EQ(directory.error().message, "This is  $Extend directory .Please specify file names ");
    path = out.path() + "/";
    auto upcase = parser.extractMftEntry("10", path);  // $UpCase lies past the cut
    EXPECT_FALSE(upcase.ok());
    EXPECT_EQ(path, out.path() + "/$UpCase");
    path = out.path() + "/";
    EXPECT_FALSE(parser.extractMftEntry("not a number", path).ok());
}

TEST_F(NtfsParse, TheDeepParseShowsOrphanEntryEvenWithoutARoot) {
    ntfs parser(reader, VolumeInfo{"NTFS", "", "0", "1   MB", 0}, quiet);
    parser.parse(NtfsMode::Deep);
    CXHtmlTree tree;
    TreeItem root = tree.insertTreeItem(g_rootName, 0, 0);
    auto items = parser.insertFirstLevel(tree, root);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(tree.text(items[0]), "ORPHAN_ENTRY");
    EXPECT_FALSE(parser.childrenOf(parser.orphanIndex).empty());
}

}  // namespace
}  // namespace prendle
