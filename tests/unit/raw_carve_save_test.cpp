#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "disk/memory_sector_source.h"
#include "raw/carve_save.h"

namespace prendle::raw {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

myJpg engineWith(const std::string& extension, std::vector<CarveHit> hits) {
    SignatureFields f;
    f.extension = extension;
    f.startSignature = "1,2";
    auto record = recordFromFields(f);
    EXPECT_TRUE(record);
    myJpg engine;
    EXPECT_TRUE(engine.addSignatures({loadedFromRecord(record.value())}));
    engine.hits = std::move(hits);
    return engine;
}

class RawSave : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("prendle_raw_save_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i * 7);
    }
    void TearDown() override { fs::remove_all(folder); }
    fs::path folder;
    std::vector<uint8_t> disk = std::vector<uint8_t>(3 << 20);
};

TEST_F(RawSave, EachHitIsWrittenByteExactUnderANewName) {
    myJpg engine = engineWith("jpg", {{4096, 1000, 0}, {512, (1 << 20) + 10, 0}, {4096, 5, 0}});
    {
        std::ofstream taken(folder / "512.jpg");
        taken << "keep me";
    }
    MemorySectorSource source(disk);
    Progress quiet;
    auto summary =
        saveHits(engine, {0, 1, 2}, VolumeView::toDiskEnd(source, 0), folder.string(), quiet);
    EXPECT_EQ(summary.saved, 3u);
    EXPECT_EQ(summary.failed, 0u);
    ASSERT_EQ(summary.files.size(), 3u);
    EXPECT_EQ(summary.files[0].fileName, "4096.jpg");
    EXPECT_EQ(summary.files[1].fileName, "512 (2).jpg");
    EXPECT_EQ(summary.files[2].fileName, "4096 (2).jpg");
    EXPECT_EQ(readAll(folder / "512.jpg"), "keep me");
    const auto expect = [&](uint64_t offset, uint64_t size) {
        return std::string(disk.begin() + static_cast<std::ptrdiff_t>(offset),
                           disk.begin() + static_cast<std::ptrdiff_t>(offset + size));
    };
    EXPECT_EQ(readAll(folder / "4096.jpg"), expect(4096, 1000));
    EXPECT_EQ(readAll(folder / "512 (2).jpg"), expect(512, (1 << 20) + 10));
    EXPECT_EQ(readAll(folder / "4096 (2).jpg"), expect(4096, 5));
    EXPECT_EQ(saveSummaryText(summary, "/out"), "Saved 3 file(s) in /out.");
}

TEST_F(RawSave, ExtensionsFromTheSignatureFileCannotLeaveTheFolder) {
    for (const char* extension : {"../x", "a/b", "..", "\\..\\"}) {
        myJpg engine = engineWith(extension, {{0, 10, 0}});
        const std::string name = hitFileName(engine, 0);
        EXPECT_EQ(name.find('/'), std::string::npos) << extension;
        EXPECT_EQ(name.find('\\'), std::string::npos) << extension;
        EXPECT_EQ(name.rfind("0.", 0), 0u) << name;
        MemorySectorSource source(disk);
        Progress quiet;
        auto summary =
            saveHits(engine, {0}, VolumeView::toDiskEnd(source, 0), folder.string(), quiet);
        ASSERT_EQ(summary.saved, 1u) << extension;
        EXPECT_TRUE(fs::exists(folder / summary.files[0].fileName));
    }
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(folder)) ++count;
    EXPECT_EQ(count, 4u);
}

TEST_F(RawSave, UnreadableHitsAndMissingFoldersAreCountedAsFailedAndLeaveNoFile) {
    // The hit runs past the disk: the read fails and no partial file stays.
    myJpg engine = engineWith("bin", {{(3 << 20) - 100, 200, 0}, {0, 10, 0}});
    MemorySectorSource source(disk);
    Progress quiet;
    auto summary =
        saveHits(engine, {0, 1, 7}, VolumeView::toDiskEnd(source, 0), folder.string(), quiet);
    EXPECT_EQ(summary.saved, 1u);
    EXPECT_EQ(summary.failed, 2u);
    EXPECT_FALSE(fs::exists(folder / (std::to_string((3 << 20) - 100) + ".bin")));
    EXPECT_NE(summary.files[0].error.find("read failed"), std::string::npos);
    EXPECT_EQ(saveSummaryText(summary, "/out"), "Saved 1 file(s) in /out; 2 failed.");

    auto missing = saveHits(engine, {1}, VolumeView::toDiskEnd(source, 0),
                            (folder / "absent").string(), quiet);
    EXPECT_EQ(missing.failed, 1u);
    EXPECT_NE(missing.files[0].error.find("cannot create"), std::string::npos);
}

}  // namespace
}  // namespace prendle::raw
