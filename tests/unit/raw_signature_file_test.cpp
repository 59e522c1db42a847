#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "raw/default_signatures.h"
#include "raw/my_jpg.h"
#include "raw/signature_file.h"

namespace prendle::raw {
namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        path_ = fs::temp_directory_path() /
                ("prendle_raw_sig_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

SignatureFields pngFields() {
    SignatureFields f;
    f.extension = "png";
    f.startSignature = "0x89,0x50,0x4E,0x47";
    f.category = "Pictures";
    return f;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(RawSignatureRecord, EveryFieldSitsAtItsOffset) {
    SignatureRecord r;
    r.extension = {u'j', u'p', u'g', 0, 0};
    r.startOffset = 0x0102;
    r.extensionLength = 3;
    r.startPattern = {0xFF, 0xD8, 0xFF};
    r.endPattern = {0xFF, 0xD9};
    r.startLength = 3;
    r.endLength = 2;
    r.recordIndex = 7;
    r.sizeFieldOffset = -1;
    r.sizeFieldBytes = 0x11223344;
    r.headerSize = 0x55667788;
    r.sizeIncludesHeader = 1;
    r.endTrailerBytes = 0x18;
    r.approxSize = 0x0102030405060708;
    r.skipSize = 0x1112131415161718;
    r.category[0] = u'P';
    r.reserved = 0xA1A2A3A4;
    const auto bytes = encodeSignatureRecord(r);
    struct Field {
        size_t offset;
        std::vector<uint8_t> expected;
    };
    const Field fields[] = {
        {0, {'j', 0, 'p', 0, 'g', 0, 0, 0, 0, 0}},
        {10, {0x02, 0x01}},
        {12, {3}},
        {13, {0xFF, 0xD8, 0xFF, 0, 0, 0, 0, 0, 0, 0}},
        {23, {0xFF, 0xD9, 0, 0, 0, 0, 0, 0, 0, 0}},
        {33, {3, 2, 7}},
        {36, {0xFF, 0xFF, 0xFF, 0xFF}},
        {40, {0x44, 0x33, 0x22, 0x11}},
        {44, {0x88, 0x77, 0x66, 0x55}},
        {48, {1}},
        {49, {0x18, 0, 0, 0}},
        {53, {8, 7, 6, 5, 4, 3, 2, 1}},
        {61, {0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11}},
        {69, {'P', 0, 0, 0}},
        {169, {0xA4, 0xA3, 0xA2, 0xA1}},
    };
    for (const Field& f : fields) {
        for (size_t k = 0; k < f.expected.size(); ++k)
            EXPECT_EQ(bytes[f.offset + k], f.expected[k]) << "offset " << f.offset + k;
    }
    const SignatureRecord back = decodeSignatureRecord(bytes);
    EXPECT_EQ(encodeSignatureRecord(back), bytes);
    EXPECT_EQ(back.sizeFieldOffset, -1);
    EXPECT_EQ(back.approxSize, 0x0102030405060708);
}

TEST(RawSignatureRecord, PatternTextsGiveTheirBytes) {
    struct Case {
        std::string text;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"0x89,0x50,0x4E,0x47", {0x89, 0x50, 0x4E, 0x47}},
        {"ff,  d8 ,,ff", {0xFF, 0xD8, 0xFF}},
        {",0X0a,", {0x0A}},
        {"", {}},
        {"zz", {0x00}},
        {"0x1234", {0x34}},
        {"12g4", {0x12}},
        {"1,2,3,4,5,6,7,8,9,a", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
    };
    for (const Case& c : cases) {
        auto parsed = parsePatternText(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(parsed.value(), c.bytes) << c.text;
    }
    auto tooLong = parsePatternText("1,2,3,4,5,6,7,8,9,a,b");
    ASSERT_FALSE(tooLong);
    EXPECT_NE(tooLong.error().message.find("at most 10"), std::string::npos);
}

TEST(RawSignatureRecord, EditorFieldsBecomeRecordFields) {
    SignatureFields four = pngFields();
    four.extension = "jpeg";
    auto r4 = recordFromFields(four);
    ASSERT_TRUE(r4);
    EXPECT_EQ(r4.value().extensionLength, 4);
    EXPECT_EQ(r4.value().extension[3], u'g');
    EXPECT_EQ(r4.value().startLength, 4);
    EXPECT_EQ(r4.value().endLength, 0);
    EXPECT_EQ(r4.value().sizeFieldOffset, -1);

    SignatureFields five = pngFields();
    five.extension = "jpegx";
    five.sizeFieldOffset = "0";
    auto r5 = recordFromFields(five);
    ASSERT_TRUE(r5);
    EXPECT_EQ(r5.value().extensionLength, 5);
    EXPECT_EQ(r5.value().extension[3], u'g');
    EXPECT_EQ(r5.value().extension[4], 0);
    EXPECT_EQ(r5.value().sizeFieldOffset, -1);

    SignatureFields sized = pngFields();
    sized.sizeFieldOffset = "8";
    sized.sizeFieldBytes = "4";
    sized.startOffset = "16";
    sized.skipSize = "2097152";
    auto rs = recordFromFields(sized);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs.value().sizeFieldOffset, 8);
    EXPECT_EQ(loadedFromRecord(rs.value()).rule.sizeFieldOffset, 8);
    EXPECT_EQ(rs.value().startOffset, 16);
    EXPECT_EQ(rs.value().skipSize, 2097152);
}

TEST(RawSignatureRecord, EditorRefusalsNameTheirField) {
    struct Case {
        const char* name;
        void (*change)(SignatureFields&);
        const char* message;
    };
    const Case cases[] = {
        {"empty extension", [](SignatureFields& f) { f.extension.clear(); }, kEmptyExtensionText},
        {"empty start", [](SignatureFields& f) { f.startSignature = ",,"; }, kEmptySignatureText},
        {"one-byte start", [](SignatureFields& f) { f.startSignature = "0xFF"; }, "at least 2"},
        {"one-byte end", [](SignatureFields& f) { f.endSignature = "0xD9"; }, "end signature of 1"},
        {"only wildcards", [](SignatureFields& f) { f.startSignature = "2a,2a"; }, "wildcard"},
        {"eleven bytes", [](SignatureFields& f) { f.endSignature = "1,2,3,4,5,6,7,8,9,a,b"; },
         "at most 10"},
        {"letters in a number", [](SignatureFields& f) { f.headerSize = "12a"; }, "digits only"},
        {"skip too large", [](SignatureFields& f) { f.skipSize = "2147483648"; },
         "at most 2147483647"},
        {"start past the sector", [](SignatureFields& f) { f.startOffset = "510"; },
         "leaves the 512-byte sector"},
        {"size field of 9 bytes",
         [](SignatureFields& f) {
             f.sizeFieldOffset = "2";
             f.sizeFieldBytes = "9";
         },
         "at most 8"},
        {"size field past the sector",
         [](SignatureFields& f) {
             f.sizeFieldOffset = "510";
             f.sizeFieldBytes = "4";
         },
         "leaves the first sector"},
    };
    for (const Case& c : cases) {
        SignatureFields f = pngFields();
        c.change(f);
        auto r = recordFromFields(f);
        ASSERT_FALSE(r) << c.name;
        EXPECT_NE(r.error().message.find(c.message), std::string::npos)
            << c.name << ": " << r.error().message;
    }
}

TEST(RawSignatureFile, SavesAppendWithRunningIndexAndLoadBack) {
    TempFolder folder;
    const std::string path = folder.file("mine.txt");
    FileHandle none;
    auto refused = saveSignatureRecord(pngFields(), none);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, kNoOutputFileText);

    auto out = FileHandle::createWrite(path);
    ASSERT_TRUE(out);
    auto first = saveSignatureRecord(pngFields(), out.value());
    ASSERT_TRUE(first);
    EXPECT_EQ(first.value(), kRecordSavedText);
    SignatureFields jpg = pngFields();
    jpg.extension = "jpg";
    jpg.startSignature = "ff,d8,ff";
    jpg.endSignature = "ff,d9";
    ASSERT_TRUE(saveSignatureRecord(jpg, out.value()));
    SignatureFields empty = pngFields();
    empty.extension.clear();
    ASSERT_FALSE(saveSignatureRecord(empty, out.value()));
    out.value().close();

    const auto bytes = fileBytes(path);
    ASSERT_EQ(bytes.size(), 2 * kSignatureRecordBytes);
    EXPECT_EQ(bytes[35], 0);
    EXPECT_EQ(bytes[kSignatureRecordBytes + 35], 1);
    auto loaded = readSignatureFile(path);
    ASSERT_TRUE(loaded) << loaded.error().message;
    ASSERT_EQ(loaded.value().size(), 2u);
    EXPECT_EQ(loaded.value()[1].rule.extensionText(), "jpg");
    EXPECT_EQ(loaded.value()[1].entry.endLength, 2);
    EXPECT_EQ(loaded.value()[0].rule.categoryText(), "Pictures");
}

TEST(RawSignatureFile, ATornFileIsNotAppendedTo) {
    TempFolder folder;
    const std::string path = folder.file("torn.txt");
    auto out = FileHandle::createWrite(path);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out.value().writeAt(0, std::vector<uint8_t>(100, 0)));
    auto saved = saveSignatureRecord(pngFields(), out.value());
    ASSERT_FALSE(saved);
    EXPECT_NE(saved.error().message.find("173"), std::string::npos);
    EXPECT_EQ(out.value().size().value(), 100u);
}

std::vector<uint8_t> recordsOf(size_t count) {
    auto record = recordFromFields(pngFields());
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) {
        record.value().recordIndex = static_cast<uint8_t>(i & 0xFF);
        const auto bytes = encodeSignatureRecord(record.value());
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

TEST(RawSignatureFile, RecordCountComesFromTheLengthAndEveryRecordIsChecked) {
    auto full = decodeSignatureFile(recordsOf(256));
    ASSERT_TRUE(full);
    EXPECT_EQ(full.value().size(), 256u);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    };
    std::vector<uint8_t> nineByteSize = recordsOf(3);
    nineByteSize[kSignatureRecordBytes + 40] = 9;  // the middle record's sizeFieldBytes
    std::vector<uint8_t> longStart = recordsOf(1);
    longStart[33] = 11;
    std::vector<uint8_t> negativeOffset = recordsOf(1);
    negativeOffset[10] = 0xFE;
    negativeOffset[11] = 0xFF;
    std::vector<uint8_t> negativeApprox = recordsOf(1);
    negativeApprox[60] = 0x80;
    const Case cases[] = {
        {"100 bytes", std::vector<uint8_t>(100, 0), "shorter than one"},
        {"empty", {}, "shorter than one"},
        {"torn tail",
         [] {
             auto b = recordsOf(2);
             b.resize(b.size() + 5);
             return b;
         }(),
         "whole number"},
        {"257 records", recordsOf(257), "at most 256"},
        {"size field of 9 bytes", nineByteSize, "record 1: size field of 9 bytes"},
        {"start of 11 bytes", longStart, "exceed the 10-byte pattern"},
        {"negative start offset", negativeOffset, "offset -2"},
        {"negative approximate size", negativeApprox, "negative approximate size"},
    };
    for (const Case& c : cases) {
        auto loaded = decodeSignatureFile(c.bytes);
        ASSERT_FALSE(loaded) << c.name;
        EXPECT_EQ(loaded.error().message.rfind(kInvalidFileText, 0), 0u) << c.name;
        EXPECT_NE(loaded.error().message.find(c.message), std::string::npos)
            << c.name << ": " << loaded.error().message;
    }
}

TEST(RawSignatureFile, AMissingFileCannotBeOpened) {
    auto missing = readSignatureFile("/nonexistent/FileSetting.txt");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message.rfind(kCannotOpenText, 0), 0u);
    ASSERT_FALSE(readSignatureFile(""));
}

TEST(RawSignatureFile, TypeIdsRunOnAcrossFilesLoadedIntoOneEngine) {
    myJpg engine;
    auto first = decodeSignatureFile(recordsOf(3));
    auto second = decodeSignatureFile(recordsOf(2));
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(engine.addSignatures(first.value()));
    ASSERT_TRUE(engine.addSignatures(second.value()));
    ASSERT_EQ(engine.signatureEntries.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(engine.signatureEntries[i].typeId, i);
    auto tooMany = decodeSignatureFile(recordsOf(252));
    ASSERT_TRUE(tooMany);
    EXPECT_FALSE(engine.addSignatures(tooMany.value()));
    EXPECT_EQ(engine.signatureEntries.size(), 5u);
}

TEST(RawSignatureFile, TheDefaultTableWritesAndLoadsWhole) {
    TempFolder folder;
    const std::string path = folder.file("FileSetting.txt");
    ASSERT_TRUE(writeSignatureTable(defaultSignatureTable(), path));
    auto loaded = readSignatureFile(path);
    ASSERT_TRUE(loaded) << loaded.error().message;
    ASSERT_EQ(loaded.value().size(), defaultSignatureTable().size());
    std::set<std::string> extensions;
    for (const auto& one : loaded.value()) extensions.insert(one.rule.extensionText());
    for (const char* wanted : {"jpg", "png", "gif", "bmp", "tif", "pdf", "zip", "docx", "rar", "7z",
                               "gz", "mp3", "mp4", "avi", "wav", "db"}) {
        EXPECT_TRUE(extensions.count(wanted)) << wanted;
    }
}

}  // namespace
}  // namespace prendle::raw
