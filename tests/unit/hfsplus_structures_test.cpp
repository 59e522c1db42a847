// HFS+ structure decoders on hand-made bytes: one valid structure per decoder, then one
// damaged field per case.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>

#include "fs/hfsplus/decmpfs.h"
#include "fs/hfsplus/hfs_structures.h"

using namespace prendle;
using namespace prendle::hfs_format;

namespace {

using Bytes = std::vector<uint8_t>;

void putBe16(Bytes& bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<uint8_t>(value);
}
void putBe32(Bytes& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
void putLe32(Bytes& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes validVolumeHeader() {
    Bytes header(512, 0);
    putBe16(header, 0, kSignatureHfsPlus);
    putBe16(header, 2, 4);
    putBe32(header, 40, 4096);
    putBe32(header, 44, 1000);
    putBe32(header, 64, 100);
    putBe32(header, 272 + 12, 20);  // catalog totalBlocks
    putBe32(header, 272 + 16, 242);
    putBe32(header, 272 + 20, 20);
    return header;
}

struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    ErrorKind kind;
    const char* fragment;  // empty: the structure is accepted
};

TEST(HfsPlusStructures, VolumeHeaderFieldsAreCheckedBeforeUse) {
    const std::vector<Case> cases = {
        {"ValidHeaderIsRead", [](Bytes&) {}, ErrorKind::Corrupt, ""},
        {"HfsxSignatureIsRead", [](Bytes& b) { putBe16(b, 0, kSignatureHfsX); }, ErrorKind::Corrupt,
         ""},
        {"ZeroedHeaderIsRejected", [](Bytes& b) { std::fill(b.begin(), b.end(), 0); },
         ErrorKind::Corrupt, "signature"},
        {"BlockSizeZeroIsRejected", [](Bytes& b) { putBe32(b, 40, 0); }, ErrorKind::Corrupt,
         "block size 0"},
        {"BlockSizeNotPowerOfTwoIsRejected", [](Bytes& b) { putBe32(b, 40, 3000); },
         ErrorKind::Corrupt, "block size 3000"},
        {"BlockSizeBelowASectorIsRejected", [](Bytes& b) { putBe32(b, 40, 256); },
         ErrorKind::Corrupt, "block size 256"},
        {"NoBlocksIsRejected", [](Bytes& b) { putBe32(b, 44, 0); }, ErrorKind::Corrupt, "0 blocks"},
        {"TruncatedHeaderIsRejected", [](Bytes& b) { b.resize(100); }, ErrorKind::Corrupt,
         "need 512"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = validVolumeHeader();
        c.damage(bytes);
        auto header = decodeVolumeHeader(bytes);
        if (std::string(c.fragment).empty()) {
            ASSERT_TRUE(header.ok()) << header.error().message;
            EXPECT_EQ(header.value().blockSize, 4096u);
            EXPECT_EQ(header.value().catalogFile.extents[0].startBlock, 242u);
            EXPECT_EQ(header.value().catalogFile.totalBlocks, 20u);
            continue;
        }
        ASSERT_FALSE(header.ok());
        EXPECT_EQ(header.error().kind, c.kind);
        EXPECT_NE(header.error().message.find(c.fragment), std::string::npos)
            << header.error().message;
    }
}

Bytes validHeaderNode() {
    Bytes node(512, 0);
    node[8] = 1;  // header node
    putBe16(node, 10, 3);
    putBe16(node, 14, 2);     // depth
    putBe32(node, 16, 1);     // root
    putBe16(node, 32, 4096);  // node size
    putBe32(node, 36, 10);    // total nodes
    return node;
}

TEST(HfsPlusStructures, BTreeHeaderNodeSizeAndCountAreBounded) {
    const std::vector<Case> cases = {
        {"ValidHeaderNodeIsRead", [](Bytes&) {}, ErrorKind::Corrupt, ""},
        {"NodeSizeZeroIsRejected", [](Bytes& b) { putBe16(b, 32, 0); }, ErrorKind::Corrupt,
         "node size 0"},
        {"NodeSizeBelow512IsRejected", [](Bytes& b) { putBe16(b, 32, 256); }, ErrorKind::Corrupt,
         "node size 256"},
        {"NodeSizeNotPowerOfTwoIsRejected", [](Bytes& b) { putBe16(b, 32, 5000); },
         ErrorKind::Corrupt, "node size 5000"},
        {"NoNodesIsRejected", [](Bytes& b) { putBe32(b, 36, 0); }, ErrorKind::Corrupt, "0 nodes"},
        {"LeafInPlaceOfHeaderIsRejected", [](Bytes& b) { b[8] = 0xFF; }, ErrorKind::Corrupt,
         "kind -1"},
        {"TruncatedNodeIsRejected", [](Bytes& b) { b.resize(30); }, ErrorKind::Corrupt,
         "runs past"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = validHeaderNode();
        c.damage(bytes);
        auto header = decodeBTreeHeader(bytes);
        if (std::string(c.fragment).empty()) {
            ASSERT_TRUE(header.ok()) << header.error().message;
            EXPECT_EQ(header.value().nodeSize, 4096u);
            EXPECT_EQ(header.value().totalNodes, 10u);
            continue;
        }
        ASSERT_FALSE(header.ok());
        EXPECT_EQ(header.error().kind, c.kind);
        EXPECT_NE(header.error().message.find(c.fragment), std::string::npos)
            << header.error().message;
    }
}

// A 512-byte leaf with records at the given offsets and the free space after them.
Bytes leafWithOffsets(const std::vector<uint16_t>& offsets, uint16_t numRecords) {
    Bytes node(512, 0);
    node[8] = 0xFF;
    node[9] = 1;
    putBe16(node, 10, numRecords);
    for (size_t i = 0; i < offsets.size(); ++i) putBe16(node, 512 - 2 * (i + 1), offsets[i]);
    return node;
}

TEST(HfsPlusStructures, RecordSpansStayInsideTheirNodeAndNeverOverlap) {
    struct SpanCase {
        const char* name;
        std::vector<uint16_t> offsets;  // numRecords + 1 entries (the last is the free space)
        uint16_t numRecords;
        std::vector<std::pair<uint32_t, uint32_t>> expected;
    };
    const std::vector<SpanCase> cases = {
        {"RecordsEndWhereTheNextBegins",
         {14, 120, 300, 400},
         3,
         {{14, 106}, {120, 180}, {300, 100}}},
        {"OffsetInsideTheDescriptorIsSkipped", {10, 120, 200}, 2, {{120, 80}}},
        {"OffsetInsideTheTableIsSkipped", {14, 508, 200}, 2, {{14, 186}}},
        {"OutOfOrderOffsetsEndAtTheNearestLaterOne", {300, 14, 400}, 2, {{300, 100}, {14, 286}}},
        {"LastRecordEndsAtTheTableWhenTheFreeOffsetIsWild", {14, 60000}, 1, {{14, 494}}},
        // 0xFFFF records cannot fit: the count is cut to the table that fits in the node.
        {"HugeRecordCountIsCutToTheNode", {14}, 0xFFFF, {}},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes node = leafWithOffsets(c.offsets, c.numRecords);
        const auto spans = recordSpans(node, c.numRecords);
        if (c.numRecords == 0xFFFF) {
            EXPECT_LE(spans.size(), (512u - 14u) / 2u);
            for (const RecordSpan& span : spans) EXPECT_LE(span.offset + span.length, 512u);
            continue;
        }
        std::vector<std::pair<uint32_t, uint32_t>> got;
        for (const RecordSpan& span : spans) got.push_back({span.offset, span.length});
        EXPECT_EQ(got, c.expected);
    }
}

Bytes catalogKeyBytes(uint16_t keyLength, uint32_t parent, uint16_t nameLength, size_t total) {
    Bytes record(total, 0);
    putBe16(record, 0, keyLength);
    putBe32(record, 2, parent);
    putBe16(record, 6, nameLength);
    for (size_t i = 0; i < nameLength && 8 + 2 * i + 1 < total; ++i)
        putBe16(record, 8 + 2 * i, 'a');
    return record;
}

TEST(HfsPlusStructures, CatalogKeyMustFitItsRecordAndItsName) {
    struct KeyCase {
        const char* name;
        Bytes record;
        const char* fragment;
    };
    const std::vector<KeyCase> cases = {
        {"ValidKeyIsRead", catalogKeyBytes(12, 16, 3, 300), ""},
        {"KeyLongerThanTheRecordIsRefused", catalogKeyBytes(400, 16, 3, 300), "length 400"},
        {"KeyShorterThanItsFixedPartIsRefused", catalogKeyBytes(4, 16, 0, 300), "length 4"},
        {"NameOf256UnitsIsRefused", catalogKeyBytes(518, 16, 256, 600), "256 units"},
        {"NameLongerThanTheKeyIsRefused", catalogKeyBytes(12, 16, 10, 300), "10 units"},
        {"RecordOfFiveBytesIsRefused", Bytes(5, 0), "runs past"},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto key = decodeCatalogKey(c.record);
        if (std::string(c.fragment).empty()) {
            ASSERT_TRUE(key.ok()) << key.error().message;
            EXPECT_EQ(key.value().parentId, 16u);
            EXPECT_EQ(key.value().name.size(), 3u);
            continue;
        }
        ASSERT_FALSE(key.ok());
        EXPECT_EQ(key.error().kind, ErrorKind::Corrupt);
        EXPECT_NE(key.error().message.find(c.fragment), std::string::npos) << key.error().message;
    }
}

TEST(HfsPlusStructures, CatalogRecordsNeedTheirWholeFixedPart) {
    Bytes file(kFileRecordBytes, 0);
    putBe16(file, 0, kFileRecord);
    putBe32(file, 8, 77);
    putBe32(file, 16, 3000000000u);
    putBe16(file, 42, 0100644);
    putBe32(file, 88 + 4, 0);
    file[88 + 7] = 200;  // logicalSize 200
    putBe32(file, 88 + 12, 1);
    putBe32(file, 88 + 16, 55);
    putBe32(file, 88 + 20, 1);
    auto decoded = decodeCatalogRecord(file);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().id, 77u);
    EXPECT_EQ(decoded.value().contentModDate, 3000000000u);
    EXPECT_EQ(decoded.value().fileMode, 0100644);
    EXPECT_EQ(decoded.value().dataFork.logicalSize, 200u);
    EXPECT_EQ(decoded.value().dataFork.extents[0].startBlock, 55u);

    Bytes truncated(file.begin(), file.end() - 1);
    auto cut = decodeCatalogRecord(truncated);
    ASSERT_FALSE(cut.ok());
    EXPECT_NE(cut.error().message.find("247 bytes, need 248"), std::string::npos);

    Bytes thread(20, 0);
    putBe16(thread, 0, kFileThreadRecord);
    EXPECT_EQ(decodeCatalogRecord(thread).error().kind, ErrorKind::Unsupported);
    Bytes unknown(300, 0);
    putBe16(unknown, 0, 9);
    EXPECT_EQ(decodeCatalogRecord(unknown).error().kind, ErrorKind::Corrupt);
}

TEST(HfsPlusStructures, ExtentsAndAttributeRecordsAreBounded) {
    Bytes extents(76, 0);
    putBe16(extents, 0, 10);
    extents[2] = kResourceFork;
    putBe32(extents, 4, 19);
    putBe32(extents, 8, 8);
    putBe32(extents, 12, 100);
    putBe32(extents, 16, 3);
    auto record = decodeExtentsRecord(extents);
    ASSERT_TRUE(record.ok());
    EXPECT_EQ(record.value().forkType, kResourceFork);
    EXPECT_EQ(record.value().extents[0].blockCount, 3u);
    putBe16(extents, 0, 12);
    EXPECT_NE(decodeExtentsRecord(extents).error().message.find("key length 12"),
              std::string::npos);
    EXPECT_FALSE(decodeExtentsRecord(Bytes(40, 0)).ok());

    // An inline attribute whose stated size runs past its record.
    Bytes attribute(60, 0);
    putBe16(attribute, 0, 14);
    putBe32(attribute, 4, 19);
    putBe16(attribute, 12, 1);
    putBe16(attribute, 14, 'x');
    putBe32(attribute, 16, kAttributeInlineData);
    putBe32(attribute, 16 + 12, 40);
    EXPECT_NE(decodeAttributeRecord(attribute).error().message.find("40 bytes runs past"),
              std::string::npos);
    putBe32(attribute, 16 + 12, 4);
    auto inlineRecord = decodeAttributeRecord(attribute);
    ASSERT_TRUE(inlineRecord.ok());
    EXPECT_EQ(inlineRecord.value().inlineData.size(), 4u);
}

TEST(HfsPlusStructures, DatesAndNamesConvert) {
    EXPECT_EQ(hfsDateToFileTime(0), 0u);
    EXPECT_EQ(hfsDateToFileTime(2082844800u), 116444736000000000ull);  // 1970-01-01 UTC
    EXPECT_EQ(hfsDateToFileTime(0xFFFFFFFFu), (9561628800ull + 0xFFFFFFFFull) * 10000000ull);
    const std::vector<uint16_t> privateFolder = {0, 0, 0, 0, 'H', 'F', 'S', '+'};
    EXPECT_EQ(hfsNameToUtf8(privateFolder), "^^^^HFS+");
    EXPECT_EQ(hfsNameToUtf8(std::vector<uint16_t>{'a', '/', 'b'}), "a:b");
    EXPECT_EQ(hfsNameToUtf8(std::vector<uint16_t>{'e', 0x0301}), "e\xCC\x81");  // kept NFD
    EXPECT_EQ(hfsNameToUtf8(std::vector<uint16_t>{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
    EXPECT_EQ(hfsNameToUtf8(std::vector<uint16_t>{0xD83D, 'a'}),
              "\xEF\xBF\xBD"
              "a");
}

Bytes zlibBytes(const Bytes& plain) {
    uLongf length = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(length);
    compress(out.data(), &length, plain.data(), static_cast<uLong>(plain.size()));
    out.resize(length);
    return out;
}

TEST(HfsPlusStructures, DecmpfsUnitsAndBlockTablesAreBounded) {
    const Bytes plain(1000, 'q');
    auto inflated = inflateDecmpfsUnit(zlibBytes(plain), plain.size());
    ASSERT_TRUE(inflated.ok());
    EXPECT_EQ(inflated.value(), plain);
    // A stream longer than the file says is cut at the stated size.
    auto cut = inflateDecmpfsUnit(zlibBytes(plain), 10);
    ASSERT_TRUE(cut.ok());
    EXPECT_EQ(cut.value().size(), 10u);
    const Bytes stored = {0xFF, 'a', 'b', 'c'};
    EXPECT_EQ(inflateDecmpfsUnit(stored, 3).value(), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(inflateDecmpfsUnit(Bytes{0x78, 0x9C, 1, 2, 3}, 100).error().kind, ErrorKind::Corrupt);

    Bytes header(16, 0);
    putLe32(header, 0, kDecmpfsMagic);
    putLe32(header, 4, 4);
    header[8] = 0x10;
    auto decoded = decodeDecmpfsHeader(header);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().uncompressedSize, 16u);
    EXPECT_TRUE(decmpfsUsesResourceFork(decoded.value().compressionType));
    putLe32(header, 0, 0x12345678);
    EXPECT_FALSE(decodeDecmpfsHeader(header).ok());
    EXPECT_FALSE(decodeDecmpfsHeader(Bytes(10, 0)).ok());

    // Resource fork: data at 256, then length, count and (offset, size) pairs.
    Bytes fork(400, 0);
    putBe32(fork, 0, 256);
    putLe32(fork, 260, 1);
    putLe32(fork, 264, 12);
    putLe32(fork, 268, 100);
    uint64_t needs = 0;
    auto table = decodeDecmpfsBlockTable(fork, fork.size(), 5000, needs);
    ASSERT_TRUE(table.ok()) << table.error().message;
    EXPECT_EQ(table.value()[0].forkOffset, 272u);
    putLe32(fork, 268, 1000);  // block runs past the fork
    EXPECT_NE(
        decodeDecmpfsBlockTable(fork, fork.size(), 5000, needs).error().message.find("runs past"),
        std::string::npos);
    putLe32(fork, 260, 0x7FFFFFFF);  // more blocks than 5000 bytes can need
    EXPECT_NE(
        decodeDecmpfsBlockTable(fork, fork.size(), 5000, needs).error().message.find("blocks for"),
        std::string::npos);
    putBe32(fork, 0, 0xFFFFFFF0);  // data offset past the fork
    EXPECT_FALSE(decodeDecmpfsBlockTable(fork, fork.size(), 5000, needs).ok());
}

}  // namespace
