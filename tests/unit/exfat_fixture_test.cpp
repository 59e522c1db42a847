// The exFAT parse of a volume made by mkfs.exfat and filled through exfat-fuse
// (tests/fixtures/make_exfat.sh), against what The Sleuth Kit's fls and icat reported
// when the fixture was made: every path, kind, deleted mark, size and time, and the
// bytes of every live file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "disk/file_read_seek_flat.h"
#include "fs/exfat/fat64.h"
#include "fs/file_systems.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

std::string sha256Of(const std::string& path) {
    FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
    if (pipe == nullptr) return {};
    char buffer[65] = {};
    const size_t got = fread(buffer, 1, 64, pipe);
    pclose(pipe);
    return std::string(buffer, got);
}

int64_t unixSeconds(uint64_t fileTime) {
    return fileTime == 0 ? 0 : static_cast<int64_t>(fileTime / 10'000'000) - 11644473600;
}

class ExFatFixture : public testing::Test {
protected:
    static void SetUpTestSuite() {
        image_ = testing::TempDir() + "prendle-exfat-" + std::to_string(::getpid()) + ".img";
        ASSERT_EQ(std::system(("xz -dc '" + std::string(PRENDLE_SOURCE_DIR) +
                               "/tests/fixtures/exfat/exfat.img.xz' > '" + image_ + "'")
                                  .c_str()),
                  0);
    }
    static void TearDownTestSuite() { std::filesystem::remove(image_); }
    void SetUp() override { ASSERT_TRUE(reader.open(image_)); }

    // Every entry by its full path, as fls -p writes it.
    std::map<std::string, fs::EntryId> pathsOf(const fs::FileSystem& volume) {
        std::map<std::string, fs::EntryId> out;
        std::vector<std::pair<fs::EntryId, std::string>> stack;
        for (fs::EntryId id : volume.topLevel()) stack.emplace_back(id, "");
        while (!stack.empty()) {
            auto [id, prefix] = stack.back();
            stack.pop_back();
            const std::string path = prefix + "/" + std::string(volume.facts(id).name);
            EXPECT_TRUE(out.emplace(path, id).second) << "twice: " << path;
            for (fs::EntryId child : volume.children(id)) stack.emplace_back(child, path);
        }
        return out;
    }

    static inline std::string image_;
    FileReadSeekFlat reader;
    Progress quiet;
};

TEST_F(ExFatFixture, EveryEntryFlsListsIsFoundWithItsKindSizeAndTimes) {
    const fs::FileSystemType* type = fs::findFileSystem(FileSystemKind::ExFat);
    ASSERT_NE(type, nullptr);
    EXPECT_TRUE(type->offersFormattedChoice);
    auto volume = type->open(VolumeView::toDiskEnd(reader, 0), VolumeInfo{}, {});
    auto summary = volume->parse(fs::ParseMode::Standard, quiet);
    ASSERT_TRUE(summary.ok()) << summary.error().message;
    EXPECT_TRUE(summary.value().warnings.empty()) << summary.value().warnings.front();

    std::ifstream referenceFile(std::string(PRENDLE_SOURCE_DIR) +
                                "/tests/fixtures/exfat/reference.json");
    const auto reference = nlohmann::json::parse(referenceFile);
    const auto paths = pathsOf(*volume);
    EXPECT_EQ(paths.size(), reference.size());
    EXPECT_EQ(summary.value().entryCount, reference.size());
    uint64_t deleted = 0;
    for (const auto& expected : reference) {
        const std::string path = expected["path"];
        SCOPED_TRACE(path);
        auto found = paths.find(path);
        ASSERT_NE(found, paths.end());
        const fs::EntryFacts facts = volume->facts(found->second);
        EXPECT_EQ(facts.folder, expected["kind"] == "dir");
        EXPECT_EQ(facts.deleted, expected["deleted"].get<bool>());
        if (!facts.folder) {
            EXPECT_EQ(facts.size, expected["size"].get<uint64_t>());
        }
        // fls drops the 10 ms fields, which add up to 1.99 s to the two-second stamps.
        for (auto [ours, key] :
             {std::pair{facts.modified, "modified"}, std::pair{facts.created, "created"}}) {
            const int64_t theirs = expected[key].get<int64_t>();
            EXPECT_GE(unixSeconds(ours), theirs) << key;
            EXPECT_LT(unixSeconds(ours), theirs + 2) << key;
        }
        EXPECT_EQ(unixSeconds(facts.accessed), expected["accessed"].get<int64_t>());
        if (facts.deleted) ++deleted;
    }
    EXPECT_EQ(summary.value().deletedCount, deleted);
    EXPECT_GT(deleted, 4u);
}

TEST_F(ExFatFixture, EveryLiveFileIsExtractedByteForByteAsIcatReadsIt) {
    Fat64Class volume(VolumeView::toDiskEnd(reader, 0), VolumeInfo{}, {});
    ASSERT_TRUE(volume.parse(fs::ParseMode::Standard, quiet).ok());
    std::ifstream referenceFile(std::string(PRENDLE_SOURCE_DIR) +
                                "/tests/fixtures/exfat/reference.json");
    const auto reference = nlohmann::json::parse(referenceFile);
    // exfat-fuse writes every set with its checksum: this checks ours against it.
    for (const ExFatEntry& entry : volume.entryTable)
        EXPECT_TRUE(entry.checksumHolds) << entry.name;
    const auto paths = pathsOf(volume);
    test::TempFolder folder;
    size_t compared = 0;
    for (const auto& expected : reference) {
        if (!expected.contains("sha256")) continue;
        const std::string path = expected["path"];
        SCOPED_TRACE(path);
        auto found = paths.find(path);
        ASSERT_NE(found, paths.end());
        const std::string outPath = folder.path() + "/out" + std::to_string(compared);
        auto out = FileHandle::createWrite(outPath);
        ASSERT_TRUE(out.ok());
        auto status = volume.extract(found->second, out.value(), quiet);
        ASSERT_TRUE(status.ok()) << status.error().message;
        out.value().close();
        EXPECT_EQ(sha256Of(outPath), expected["sha256"].get<std::string>());
        ++compared;
    }
    EXPECT_GT(compared, 200u);
}

}  // namespace
}  // namespace prendle
