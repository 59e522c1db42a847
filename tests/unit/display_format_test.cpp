#include "fs/common/display_format.h"

#include <gtest/gtest.h>

namespace prendle {
namespace {

TEST(DisplayFormat, SizesUsePowersOf1024) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0 Bytes"},          {1023, "1023 Bytes"},    {1024, "1.00 KB"},
        {1536, "1.50 KB"},       {1048575, "1024.00 KB"}, {1048576, "1.00 MB"},
        {1073741824, "1.00 GB"}, {4294967295, "4.00 GB"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(formatSizeText(bytes), text) << bytes;
}

TEST(DisplayFormat, ClockTimesAndDosDates) {
    EXPECT_EQ(formatClockTime(2024, 3, 1, 12, 30), "03/01/2024  12:30 AM");
    EXPECT_EQ(formatClockTime(2024, 3, 1, 13, 5), "03/01/2024  01:05 PM");
    EXPECT_EQ(formatClockTime(2024, 3, 1, 0, 10), "03/01/2024  00:10 AM");
    // 2 March 2015 and 13:05:00 as DOS words.
    const uint16_t date = static_cast<uint16_t>(((2015 - 1980) << 9) | (3 << 5) | 2);
    const uint16_t time = static_cast<uint16_t>((13 << 11) | (5 << 5));
    EXPECT_EQ(formatDosDate(date), "03/02/2015 ");
    EXPECT_EQ(formatDosDateTime(date, time), "03/02/2015  01:05 PM");
}

TEST(DisplayFormat, AttributeLettersPerFileSystem) {
    EXPECT_EQ(formatAttributeText(AttributeFlavour::Ntfs, 0x0221), "-R-S-A");
    EXPECT_EQ(formatAttributeText(AttributeFlavour::Fat, 0x27), "-R-H-S-A");
    EXPECT_EQ(formatAttributeText(AttributeFlavour::Ext, 0644), "-OR-GR-UW-UR");
    EXPECT_EQ(formatAttributeText(AttributeFlavour::HfsPlus, 0x1C0), "-Owner:X-Owner:W-Owner:R");
    EXPECT_EQ(formatAttributeText(AttributeFlavour::Ntfs, 0), "");
}

}  // namespace
}  // namespace prendle
