#include "common/byte_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace prendle {
namespace {

TEST(ByteReader, ReadsBothByteOrders) {
    std::vector<uint8_t> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    ByteReader le(bytes);
    EXPECT_EQ(le.le32(), 0x04030201u);
    EXPECT_EQ(le.le16(), 0x0605u);
    ByteReader be(bytes);
    EXPECT_EQ(be.be64(), 0x0102030405060708u);
    EXPECT_TRUE(be.ok());
}

TEST(ByteReader, ReadPastTheEndFailsAndLeavesThePositionUnmoved) {
    std::vector<uint8_t> bytes{1, 2, 3, 4, 5, 6};
    ByteReader reader(bytes);
    reader.skip(4);
    EXPECT_EQ(reader.le32(), 0u);
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.position(), 4u);
    EXPECT_NE(reader.error().find("offset 4"), std::string::npos);
    EXPECT_TRUE(reader.bytes(3).empty());
    reader.seek(7);
    EXPECT_EQ(reader.position(), 4u);
}

}  // namespace
}  // namespace prendle
