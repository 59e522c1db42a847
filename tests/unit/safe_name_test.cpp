#include "fs/common/safe_name.h"

#include <gtest/gtest.h>

namespace prendle {
namespace {

TEST(SafeNames, NamesFromDiskNeverLeaveTheFolder) {
    struct Case {
        std::string from, to;
    };
    const Case cases[] = {{"plain.txt", "plain.txt"},
                          {"../../etc/passwd", ".._.._etc_passwd"},
                          {"a\\b", "a_b"},
                          {"..", "_.."},
                          {".", "_."},
                          {"", "_unnamed"},
                          {std::string("nul\0in", 6), "nul_in"},
                          {"tab\there", "tab_here"}};
    for (const auto& c : cases) EXPECT_EQ(safeFileName(c.from), c.to) << c.from;
    EXPECT_LE(safeFileName(std::string(400, 'x')).size(), 255u);
    // A cut never splits a UTF-8 character.
    std::string snowmen;
    for (int i = 0; i < 100; ++i) snowmen += "\xE2\x98\x83";
    EXPECT_EQ(safeFileName(snowmen).size() % 3, 0u);
}

TEST(SafeNames, TwoEntriesOfOneNameAreBothKept) {
    FolderNames names;
    EXPECT_EQ(names.claim("a.txt"), "a.txt");
    EXPECT_EQ(names.claim("a.txt"), "a (2).txt");
    EXPECT_EQ(names.claim("a/txt"), "a_txt");
    EXPECT_EQ(names.claim("a_txt"), "a_txt (2)");
    EXPECT_EQ(names.claim(".hidden"), ".hidden");
    EXPECT_EQ(names.claim(".hidden"), ".hidden (2)");
}

}  // namespace
}  // namespace prendle
