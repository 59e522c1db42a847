#include <gtest/gtest.h>

#include <cstring>

#include "disk/memory_sector_source.h"
#include "raw/my_jpg.h"

namespace prendle::raw {
namespace {

SignatureFields jpgFields() {
    SignatureFields f;
    f.extension = "jpg";
    f.startSignature = "ff,d8,ff";
    f.endSignature = "ff,d9";
    f.category = "Pictures";
    return f;
}

myJpg engineFor(const std::vector<SignatureFields>& table) {
    myJpg engine;
    std::vector<LoadedSignature> loaded;
    for (const auto& fields : table) {
        auto record = recordFromFields(fields);
        EXPECT_TRUE(record) << record.error().message;
        loaded.push_back(loadedFromRecord(record.value()));
    }
    EXPECT_TRUE(engine.addSignatures(loaded));
    return engine;
}

void plant(std::vector<uint8_t>& disk, uint64_t at, std::vector<uint8_t> bytes) {
    std::memcpy(disk.data() + at, bytes.data(), bytes.size());
}

struct ScanResult {
    std::vector<CarveHit> hits;
    CarveSummary summary;
};

ScanResult scan(myJpg& engine, const std::vector<uint8_t>& disk) {
    MemorySectorSource source(disk);
    Progress quiet;
    auto result = engine.carveVolume(VolumeView::toDiskEnd(source, 0), quiet);
    EXPECT_TRUE(result) << result.error().message;
    return {engine.hits, result ? result.value() : CarveSummary{}};
}

struct Extent {
    uint64_t offset, size;
    bool operator==(const Extent&) const = default;
};
std::vector<Extent> extents(const std::vector<CarveHit>& hits) {
    std::vector<Extent> out;
    for (const auto& h : hits) out.push_back({h.offset, h.size});
    return out;
}
void PrintTo(const Extent& e, std::ostream* os) {
    *os << "{" << e.offset << ", " << e.size << "}";
}

// Each case plants bytes in a zeroed volume and lists the hits the scan must give.
struct EndCase {
    const char* name;
    uint64_t volumeBytes;
    uint64_t windowBytes;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> planted;
    std::vector<Extent> hits;
};

class RawEndSignatures : public ::testing::TestWithParam<EndCase> {};

TEST_P(RawEndSignatures, GiveTheFileUpToTheEndOfItsEndSignature) {
    const EndCase& c = GetParam();
    std::vector<uint8_t> disk(c.volumeBytes, 0);
    for (const auto& [at, bytes] : c.planted) plant(disk, at, bytes);
    SignatureFields fields = jpgFields();
    fields.approxSize = "65536";
    myJpg engine = engineFor({fields});
    engine.windowBytes = c.windowBytes;
    EXPECT_EQ(extents(scan(engine, disk).hits), c.hits);
}

const std::vector<uint8_t> kJpgStart{0xFF, 0xD8, 0xFF};
const std::vector<uint8_t> kJpgEnd{0xFF, 0xD9};

INSTANTIATE_TEST_SUITE_P(
    Cases, RawEndSignatures,
    ::testing::Values(EndCase{"EndAtASectorStart",
                              3 << 20,
                              8 << 20,
                              {{1048576, kJpgStart}, {1050112, kJpgEnd}},
                              {{1048576, 1538}}},
                      EndCase{"EndInTheMiddleOfASector",
                              3 << 20,
                              8 << 20,
                              {{1048576, kJpgStart}, {1050112 + 301, kJpgEnd}},
                              {{1048576, 1839}}},
                      EndCase{"EndInTheStartSector",
                              1 << 20,
                              8 << 20,
                              {{4096, kJpgStart}, {4200, kJpgEnd}},
                              {{4096, 106}}},
                      EndCase{"EndAcrossAWindowBorder",
                              64 << 10,
                              8192,
                              {{0, kJpgStart}, {8191, kJpgEnd}},
                              {{0, 8193}}},
                      EndCase{"EndAcrossASectorBorder",
                              64 << 10,
                              8 << 20,
                              {{512, kJpgStart}, {1023, kJpgEnd}},
                              {{512, 513}}},
                      EndCase{"StartInTheLastSectorOfAWindow",
                              64 << 10,
                              8192,
                              {{7680, kJpgStart}, {9000, kJpgEnd}},
                              {{7680, 1322}}},
                      EndCase{"TheLaterOfTwoStartsTakesTheEnd",
                              1 << 20,
                              8192,
                              {{0, kJpgStart}, {2048, kJpgStart}, {5000, kJpgEnd}},
                              {{2048, 2954}, {0, 65536}}},
                      EndCase{"AStartWithoutEndGivesItsApproximateSize",
                              1 << 20,
                              8 << 20,
                              {{8192, kJpgStart}},
                              {{8192, 65536}}},
                      EndCase{"AnEndFartherThanTheBoundMakesNoPair",
                              1 << 20,
                              8192,
                              {{0, kJpgStart}, {200000, kJpgEnd}},
                              {{0, 65536}}},
                      EndCase{"AnApproximateHitStopsAtTheVolumeEnd",
                              40960,
                              8192,
                              {{8192, kJpgStart}},
                              {{8192, 32768}}},
                      EndCase{"AnEndCutByTheVolumeEndIsNoEnd",
                              8193,
                              8192,
                              {{0, kJpgStart}, {8192, {0xFF}}},
                              {{0, 8193}}},
                      EndCase{"AnEndBeforeAnyStartIsIgnored",
                              1 << 20,
                              8192,
                              {{100, kJpgEnd}, {4096, kJpgStart}, {4500, kJpgEnd}},
                              {{4096, 406}}},
                      EndCase{"AVolumeSmallerThanASectorIsScanned",
                              300,
                              8192,
                              {{0, kJpgStart}, {10, kJpgEnd}},
                              {{0, 12}}}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(RawCarving, HitTextsAndCategoryCountsFollowTheHits) {
    std::vector<uint8_t> disk(3 << 20, 0);
    plant(disk, 1048576, kJpgStart);
    plant(disk, 1050112, kJpgEnd);
    plant(disk, 2097152, kJpgStart);
    plant(disk, 2097152 + 700, kJpgEnd);
    plant(disk, 4096, {0x89, 0x50, 0x4E, 0x47});
    SignatureFields png;
    png.extension = "png";
    png.startSignature = "89,50,4e,47";
    png.approxSize = "1000";
    png.category = "Pictures";
    myJpg engine = engineFor({jpgFields(), png});
    std::vector<size_t> heard;
    MemorySectorSource source(disk);
    Progress quiet;
    auto result = engine.carveVolume(VolumeView::toDiskEnd(source, 0), quiet,
                                     [&](size_t index) { heard.push_back(index); });
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value().hitsFound, 3u);
    EXPECT_EQ(heard, (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(engine.hitText(0), "4096 .png");
    EXPECT_EQ(engine.hitText(1), "1048576 .jpg");
    EXPECT_EQ(engine.categoryCounts["Pictures"], 3u);

    // A second scan of the same engine counts afresh and leaves no start waiting.
    std::vector<uint8_t> second(1 << 20, 0);
    plant(second, 0, kJpgStart);
    plant(second, 0x8000, kJpgEnd);
    MemorySectorSource secondSource(second);
    ASSERT_TRUE(engine.carveVolume(VolumeView::toDiskEnd(secondSource, 0), quiet));
    EXPECT_EQ(engine.categoryCounts["Pictures"], 1u);
    ASSERT_EQ(engine.hits.size(), 4u);
    EXPECT_EQ(extents({engine.hits[3]}), (std::vector<Extent>{{0, 0x8002}}));
}

TEST(RawCarving, SizeFieldsAreReadWithTheirWidth) {
    struct Case {
        const char* name;
        const char* bytes;
        const char* header;
        bool includesHeader;
        const char* approx;
        std::vector<uint8_t> field;
        std::vector<Extent> hits;
    };
    // The field sits at byte 2 of a sector at 4096; a second start at 8192 shows where the
    // scan went on.
    const Case cases[] = {
        {"FourBytesCountingTheHeader", "4", "", true, "", {0x00, 0x10, 0, 0}, {{4096, 4096}}},
        {"TwoBytes", "2", "", true, "", {0x01, 0x02}, {{4096, 513}, {8192, 0}}},
        {"EightBytes", "8", "", true, "", {0x00, 0x02, 0, 0, 0, 0, 0, 0}, {{4096, 512}, {8192, 0}}},
        {"HeaderAdded", "4", "8", false, "", {0xF8, 0x0F, 0, 0}, {{4096, 4096}}},
        {"ZeroIsNoHit", "4", "", true, "", {0, 0, 0, 0}, {{8192, 0}}},
        {"CappedByTheApproximateSize",
         "4",
         "",
         true,
         "1024",
         {0x00, 0x00, 0x10, 0},
         {{4096, 1024}, {8192, 0}}},
        {"CappedByTheVolumeEnd", "4", "", true, "", {0xFF, 0xFF, 0xFF, 0x7F}, {{4096, 61440}}},
        {"SixtyFourBitsDoNotWrap",
         "8",
         "8",
         false,
         "",
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         {{8192, 0}}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> disk(64 << 10, 0);
        plant(disk, 4096, {0x42, 0x4D});
        plant(disk, 4098, c.field);
        plant(disk, 8192, {0x42, 0x4D, 0x00, 0x00, 0x00, 0x00});
        SignatureFields bmp;
        bmp.extension = "bmp";
        bmp.startSignature = "42,4d";
        bmp.sizeFieldOffset = "2";
        bmp.sizeFieldBytes = c.bytes;
        bmp.headerSize = c.header;
        bmp.sizeIncludesHeader = c.includesHeader;
        bmp.approxSize = c.approx;
        myJpg engine = engineFor({bmp});
        auto hits = extents(scan(engine, disk).hits);
        // The start at 8192 has size 0 in its field, so it never becomes a hit: drop the
        // expected placeholders that say the scan reached it.
        std::vector<Extent> expected;
        for (const Extent& e : c.hits)
            if (e.size > 0) expected.push_back(e);
        EXPECT_EQ(hits, expected) << c.name;
    }
}

TEST(RawCarving, ASizedHitIsNotSearchedAgainAndTheScanGoesOnRightAfterIt) {
    std::vector<uint8_t> disk(64 << 10, 0);
    // A 4-byte size field at byte 4, 1536 bytes: a start inside it is part of the file, the
    // start in the next sector is a file of its own.
    plant(disk, 0, {0x52, 0x49, 0x46, 0x46, 0x00, 0x06, 0, 0});
    plant(disk, 1024, {0x52, 0x49, 0x46, 0x46, 0x00, 0x02, 0, 0});
    plant(disk, 1536, {0x52, 0x49, 0x46, 0x46, 0x00, 0x02, 0, 0});
    SignatureFields riff;
    riff.extension = "wav";
    riff.startSignature = "52,49,46,46";
    riff.sizeFieldOffset = "4";
    riff.sizeFieldBytes = "4";
    riff.sizeIncludesHeader = true;
    myJpg engine = engineFor({riff});
    EXPECT_EQ(extents(scan(engine, disk).hits), (std::vector<Extent>{{0, 1536}, {1536, 512}}));
}

TEST(RawCarving, RulesWithoutEndOrSizeUseTheApproximateSizeOrABoundAndSkip) {
    std::vector<uint8_t> disk(3 << 20, 0);
    plant(disk, 0, {0x1F, 0x8B, 0x08});
    plant(disk, 512, {0x1F, 0x8B, 0x08});
    plant(disk, 2 << 20, {0x1F, 0x8B, 0x08});
    plant(disk, (1 << 20) + 4096, {0x37, 0x7A, 0xBC});
    SignatureFields gz;
    gz.extension = "gz";
    gz.startSignature = "1f,8b,08";
    gz.skipSize = "1048576";
    gz.approxSize = "5000";
    SignatureFields sevenZip;
    sevenZip.extension = "7z";
    sevenZip.startSignature = "37,7a,bc";
    myJpg engine = engineFor({gz, sevenZip});
    // The skip after the first gz passes over the one at 512.
    EXPECT_EQ(extents(scan(engine, disk).hits),
              (std::vector<Extent>{{0, 5000}, {(1 << 20) + 4096, 1 << 20}, {2 << 20, 5000}}));
}

TEST(RawCarving, WildcardsMatchAnyByteAndStartOffsetsPlaceThePattern) {
    std::vector<uint8_t> disk(64 << 10, 0);
    plant(disk, 1024, {0x11, 0x22, 0x33, 0x44, 0x66, 0x74, 0x79, 0x70});
    plant(disk, 4096 + 30, {'[', 'C', 'o', 'n'});
    plant(disk, 4096 + 600, {'P', 'K', 5, 6});
    SignatureFields mp4;
    mp4.extension = "mp4";
    mp4.startSignature = "2a,2a,2a,2a,66,74,79,70";
    mp4.approxSize = "100";
    SignatureFields office;
    office.extension = "docx";
    office.startSignature = "5b,43,6f,6e";
    office.startOffset = "30";
    office.endSignature = "50,4b,05,06";
    office.endTrailerBytes = "18";
    myJpg engine = engineFor({mp4, office});
    EXPECT_EQ(extents(scan(engine, disk).hits),
              (std::vector<Extent>{{1024, 100}, {4096, 600 + 4 + 18}}));
}

// Stops at the n-th checkpoint.
class StopAfter : public Progress {
public:
    explicit StopAfter(int checkpoints) : left_(checkpoints) {}
    bool checkpoint() override { return left_-- > 0; }
    void progressRange(uint64_t lower, uint64_t upper) override { range = {lower, upper}; }
    void progressPos(uint64_t position) override { positions.push_back(position); }
    std::pair<uint64_t, uint64_t> range;
    std::vector<uint64_t> positions;

private:
    int left_;
};

TEST(RawCarving, AStoppedScanStillTurnsWaitingStartsIntoHits) {
    std::vector<uint8_t> disk(10 * 8192, 0);
    plant(disk, 0, kJpgStart);
    plant(disk, 3 * 8192, kJpgStart);
    plant(disk, 3 * 8192 + 100, kJpgEnd);
    SignatureFields fields = jpgFields();
    fields.approxSize = "2000";
    myJpg engine = engineFor({fields});
    engine.windowBytes = 8192;
    MemorySectorSource source(disk);
    StopAfter progress(1);
    auto result = engine.carveVolume(VolumeView::toDiskEnd(source, 0), progress);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result.value().stopped);
    EXPECT_EQ(result.value().bytesScanned, 8192u);
    EXPECT_EQ(progress.range, (std::pair<uint64_t, uint64_t>{0, 10}));
    EXPECT_EQ(progress.positions, (std::vector<uint64_t>{0, 1, 10}));
    EXPECT_EQ(extents(engine.hits), (std::vector<Extent>{{0, 2000}}));
}

// A disk whose bytes in one range cannot be read.
class FailingSource : public MemorySectorSource {
public:
    FailingSource(std::vector<uint8_t> disk, uint64_t badFrom, uint64_t badTo)
        : MemorySectorSource(std::move(disk)), badFrom_(badFrom), badTo_(badTo) {}

protected:
    bool readStored(uint64_t fileOffset, std::span<uint8_t> out) const override {
        if (fileOffset < badTo_ && fileOffset + out.size() > badFrom_) {
            std::fill(out.begin(), out.end(), uint8_t{0xFF});
            return false;
        }
        return MemorySectorSource::readStored(fileOffset, out);
    }

private:
    uint64_t badFrom_, badTo_;
};

TEST(RawCarving, UnreadablePiecesGiveNoHitsAndAWarning) {
    std::vector<uint8_t> disk(1 << 20, 0);
    plant(disk, 0, kJpgStart);
    plant(disk, 200, kJpgEnd);
    plant(disk, 65536, kJpgStart);  // in the unreadable piece
    plant(disk, 65536 + 200, kJpgEnd);
    plant(disk, 131072, kJpgStart);
    plant(disk, 131072 + 300, kJpgEnd);
    FailingSource source(disk, 65536, 65536 + 512);
    myJpg engine = engineFor({jpgFields()});
    Progress quiet;
    auto result = engine.carveVolume(VolumeView::toDiskEnd(source, 0), quiet);
    ASSERT_TRUE(result);
    EXPECT_EQ(extents(engine.hits), (std::vector<Extent>{{0, 202}, {131072, 302}}));
    ASSERT_EQ(result.value().warnings.size(), 1u);
    EXPECT_NE(result.value().warnings[0].find("not scanned"), std::string::npos);
}

TEST(RawCarving, AScanWithoutSignaturesIsRefused) {
    myJpg engine;
    MemorySectorSource source(std::vector<uint8_t>(4096, 0));
    Progress quiet;
    auto result = engine.carveVolume(VolumeView::toDiskEnd(source, 0), quiet);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("no signatures"), std::string::npos);
}

}  // namespace
}  // namespace prendle::raw
