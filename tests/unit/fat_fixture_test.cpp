// FAT12, FAT16 and FAT32 volumes made by mkfs.fat and mtools (tests/fixtures/fat), parsed
// through the FileSystem interface and compared with what fls and icat saw at fixture time:
// every path, the deleted and folder flags, sizes, times and file contents.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "common/file_handle.h"
#include "disk/memory_sector_source.h"
#include "fs/fat/fat_file_system.h"
#include "fs/file_systems.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

std::vector<uint8_t> unpackFixture(const std::string& name) {
    const std::string command =
        "xz -dc '" + std::string(PRENDLE_SOURCE_DIR) + "/tests/fixtures/fat/" + name + "'";
    std::vector<uint8_t> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    uint8_t buffer[65536];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.insert(out.end(), buffer, buffer + got);
    pclose(pipe);
    return out;
}

nlohmann::json loadReference(const std::string& name) {
    FILE* file =
        std::fopen((std::string(PRENDLE_SOURCE_DIR) + "/tests/fixtures/fat/" + name).c_str(), "rb");
    if (file == nullptr) return {};
    std::string text;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
    return nlohmann::json::parse(text);
}

std::string fnv1a64(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3ULL;
    char text[32];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

int64_t unixSeconds(uint64_t fileTime) {
    return fileTime == 0 ? 0 : static_cast<int64_t>(fileTime / 10000000) - 11644473600LL;
}

struct FixtureCase {
    const char* image;
    const char* reference;
    FileSystemKind kind;
};

class FatFixture : public testing::TestWithParam<FixtureCase> {};

void collectPaths(const fs::FileSystem& volume, fs::EntryId folder, const std::string& prefix,
                  std::map<std::string, fs::EntryId>& out) {
    for (fs::EntryId child : volume.children(folder)) {
        const std::string path = prefix + "/" + std::string(volume.facts(child).name);
        out.emplace(path, child);
        if (volume.isFolder(child)) collectPaths(volume, child, path, out);
    }
}

TEST_P(FatFixture, EveryEntryMatchesFlsAndEveryFileMatchesIcat) {
    const FixtureCase& fixture = GetParam();
    MemorySectorSource source(unpackFixture(fixture.image));
    ASSERT_GT(source.bytes().size(), 0u);
    const fs::FileSystemType* type = fs::findFileSystem(fixture.kind);
    ASSERT_NE(type, nullptr);
    auto volume = type->open(VolumeView::toDiskEnd(source, 0), VolumeInfo{}, fs::OpenOptions{});
    Progress progress;
    auto summary = volume->parse(fs::ParseMode::Standard, progress);
    ASSERT_TRUE(summary.ok()) << summary.error().message;
    EXPECT_TRUE(summary.value().warnings.empty()) << summary.value().warnings.front();

    std::map<std::string, fs::EntryId> paths;
    for (fs::EntryId top : volume->topLevel()) {
        const std::string path = "/" + std::string(volume->facts(top).name);
        paths.emplace(path, top);
        if (volume->isFolder(top)) collectPaths(*volume, top, path, paths);
    }

    const nlohmann::json reference = loadReference(fixture.reference);
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(paths.size(), reference.size());
    test::TempFolder folder;
    for (const auto& expected : reference) {
        std::string path = expected["path"];
        // The Sleuth Kit shows short-name bytes above 0x7F as '^'; 0x05 stands for 0xE5,
        // which is sigma in code page 437.
        if (path == "/^IGMA.TXT") path = "/σIGMA.TXT";
        SCOPED_TRACE(path);
        auto found = paths.find(path);
        ASSERT_NE(found, paths.end());
        const fs::EntryFacts facts = volume->facts(found->second);
        EXPECT_EQ(facts.deleted, expected["deleted"].get<bool>());
        EXPECT_EQ(facts.folder, expected["folder"].get<bool>());
        EXPECT_EQ(unixSeconds(facts.modified), expected["modified"].get<int64_t>());
        EXPECT_EQ(unixSeconds(facts.accessed), expected["accessed"].get<int64_t>());
        EXPECT_EQ(unixSeconds(facts.created), expected["created"].get<int64_t>());
        if (facts.folder) continue;
        EXPECT_EQ(facts.size, expected["size"].get<uint64_t>());

        const std::string outPath = folder.path() + "/out";
        auto out = FileHandle::createWrite(outPath);
        ASSERT_TRUE(out.ok());
        Status extracted = volume->extract(found->second, out.value(), progress);
        out.value().close();
        if (facts.deleted && expected["length"].get<uint64_t>() != facts.size) {
            // icat wrote what live files hold now; a deleted file whose first cluster
            // a live file took has nothing left to recover (gap.bin on FAT12 and FAT16).
            EXPECT_FALSE(extracted.ok());
            continue;
        }
        ASSERT_TRUE(extracted.ok()) << extracted.error().message;
        auto in = FileHandle::openRead(outPath);
        ASSERT_TRUE(in.ok());
        std::vector<uint8_t> bytes(static_cast<size_t>(in.value().size().value()));
        ASSERT_TRUE(in.value().readAt(0, bytes).ok());
        EXPECT_EQ(bytes.size(), expected["length"].get<uint64_t>());
        EXPECT_EQ(fnv1a64(bytes), expected["fnv"].get<std::string>());
    }
}

INSTANTIATE_TEST_SUITE_P(
    MkfsFatVolumes, FatFixture,
    testing::Values(FixtureCase{"fat12.img.xz", "fat12.json", FileSystemKind::Fat12},
                    FixtureCase{"fat16.img.xz", "fat16.json", FileSystemKind::Fat16},
                    FixtureCase{"fat32.img.xz", "fat32.json", FileSystemKind::Fat32}),
    [](const testing::TestParamInfo<FixtureCase>& param) {
        return std::string(param.param.reference).substr(0, 5);
    });

}  // namespace
}  // namespace prendle
