// The HFS+ parser on damaged volumes: the built fixture with one structure broken per case,
// and with random bytes changed; every case ends with a result and never a crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "disk/memory_sector_source.h"
#include "fs/hfsplus/hfsp.h"

using namespace prendle;
using prendle::fs::EntryId;

namespace {

const std::string kFixtures = std::string(PRENDLE_SOURCE_DIR) + "/tests/fixtures/hfsplus/";
using Bytes = std::vector<uint8_t>;

Bytes unpackFixture(const std::string& name) {
    Bytes out;
    FILE* pipe = popen(("xz -dc '" + kFixtures + name + "'").c_str(), "r");
    if (pipe == nullptr) return out;
    uint8_t buffer[65536];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.insert(out.end(), buffer, buffer + got);
    pclose(pipe);
    return out;
}

uint32_t be32At(const Bytes& bytes, size_t offset) {
    return uint32_t{bytes[offset]} << 24 | uint32_t{bytes[offset + 1]} << 16 |
           uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}
void putBe32(Bytes& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// The offset of a catalog key (parent, ASCII name) in the volume.
size_t findCatalogKey(const Bytes& volume, uint32_t parent, const std::string& name) {
    Bytes key(8 + 2 * name.size(), 0);
    key[1] = static_cast<uint8_t>(6 + 2 * name.size());
    putBe32(key, 2, parent);
    key[7] = static_cast<uint8_t>(name.size());
    for (size_t i = 0; i < name.size(); ++i) key[9 + 2 * i] = static_cast<uint8_t>(name[i]);
    auto found = std::search(volume.begin(), volume.end(), key.begin(), key.end());
    EXPECT_NE(found, volume.end()) << name;
    return static_cast<size_t>(found - volume.begin());
}

struct Parsed {
    std::unique_ptr<MemorySectorSource> source;
    std::unique_ptr<HFSP> hfs;
    Result<fs::ParseSummary> result = Error{};
};

Parsed parseVolume(Bytes bytes, fs::ParseMode mode, Progress* progress = nullptr) {
    Parsed parsed;
    parsed.source = std::make_unique<MemorySectorSource>(std::move(bytes));
    parsed.hfs = std::make_unique<HFSP>(VolumeView::toDiskEnd(*parsed.source, 0), VolumeInfo{});
    Progress quiet;
    parsed.result = parsed.hfs->parse(mode, progress != nullptr ? *progress : quiet);
    return parsed;
}

std::map<std::string, EntryId> pathsOf(const HFSP& hfs) {
    std::map<std::string, EntryId> paths;
    std::set<EntryId> visited;
    std::vector<std::pair<std::string, EntryId>> pending;
    for (EntryId id : hfs.topLevel()) pending.push_back({"", id});
    while (!pending.empty()) {
        auto [parent, id] = pending.back();
        pending.pop_back();
        const std::string path = parent + "/" + std::string(hfs.name(id));
        paths.emplace(path, id);
        if (!visited.insert(id).second) continue;
        for (EntryId child : hfs.children(id)) pending.push_back({path, child});
    }
    return paths;
}

Bytes extractBytes(HFSP& hfs, EntryId id, Status* status) {
    const std::string path = testing::TempDir() + "hfsplus_damage_out";
    {
        auto out = FileHandle::createWrite(path);
        EXPECT_TRUE(out.ok());
        Progress quiet;
        *status = hfs.extract(id, out.value(), quiet);
    }
    std::ifstream stream(path, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    return data;
}

bool hasWarning(const fs::ParseSummary& summary, const std::string& fragment) {
    for (const std::string& warning : summary.warnings)
        if (warning.find(fragment) != std::string::npos) return true;
    return false;
}

TEST(HfsPlusDamage, BrokenExtentsTreeHeaderKeepsTheCatalog) {
    Bytes volume = unpackFixture("built-4k.raw.xz");
    const uint32_t blockBytes = be32At(volume, 1024 + 40);
    const size_t extentsHeader = size_t{be32At(volume, 1024 + 192 + 16)} * blockBytes;
    volume[extentsHeader + 8] = 7;  // no such node kind

    Parsed standard = parseVolume(volume, fs::ParseMode::Standard);
    ASSERT_TRUE(standard.result.ok()) << standard.result.error().message;
    EXPECT_TRUE(hasWarning(standard.result.value(), "without extents-overflow records"));
    auto paths = pathsOf(*standard.hfs);
    ASSERT_TRUE(paths.count("/docs/readme.txt"));
    Status status;
    EXPECT_EQ(extractBytes(*standard.hfs, paths["/docs/readme.txt"], &status).size(), 5000u);
    EXPECT_TRUE(status.ok());
    // The fork's blocks past its eighth extent are unknown: the file keeps its size, the rest
    // is zeros and the extraction says so.
    ASSERT_TRUE(paths.count("/docs/fragmented.bin"));
    const Bytes partial = extractBytes(*standard.hfs, paths["/docs/fragmented.bin"], &status);
    EXPECT_EQ(partial.size(), 10u * 4096 - 100);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().message.find("8 of 10 blocks"), std::string::npos)
        << status.error().message;

    // The deep scan finds the extents leaf itself and the catalog nodes past the eighth extent.
    Parsed deep = parseVolume(volume, fs::ParseMode::Deep);
    ASSERT_TRUE(deep.result.ok());
    paths = pathsOf(*deep.hfs);
    EXPECT_TRUE(paths.count("/many/file_059.txt"));
    ASSERT_TRUE(paths.count("/docs/fragmented.bin"));
    extractBytes(*deep.hfs, paths["/docs/fragmented.bin"], &status);
    EXPECT_TRUE(status.ok()) << status.error().message;
}

TEST(HfsPlusDamage, FoldersInAParentLoopStayReachableUnderOrphanEntry) {
    Bytes volume = unpackFixture("built-4k.raw.xz");
    putBe32(volume, findCatalogKey(volume, 2, "docs") + 2, 17);  // docs inside many
    putBe32(volume, findCatalogKey(volume, 2, "many") + 2, 16);  // many inside docs
    Parsed parsed = parseVolume(volume, fs::ParseMode::Standard);
    ASSERT_TRUE(parsed.result.ok());
    const auto paths = pathsOf(*parsed.hfs);
    size_t underOrphans = 0;
    bool readmeFound = false, manyFileFound = false;
    for (const auto& [path, id] : paths) {
        if (path.rfind("/ORPHAN_ENTRY/", 0) == 0) ++underOrphans;
        readmeFound = readmeFound || path.find("/docs/readme.txt") != std::string::npos;
        manyFileFound = manyFileFound || path.find("/many/file_000.txt") != std::string::npos;
    }
    EXPECT_TRUE(readmeFound);
    EXPECT_TRUE(manyFileFound);
    EXPECT_GE(underOrphans, 60u);
}

TEST(HfsPlusDamage, RecordsWithWildIdsAreRefusedAndTheRestStays) {
    Bytes volume = unpackFixture("built-4k.raw.xz");
    const size_t key = findCatalogKey(volume, 16, "readme.txt");
    putBe32(volume, key + 2 + 26 + 8, 0xFFFFFFF0);
    Parsed parsed = parseVolume(volume, fs::ParseMode::Standard);
    ASSERT_TRUE(parsed.result.ok());
    EXPECT_TRUE(hasWarning(parsed.result.value(), "outside 2.."));
    const auto paths = pathsOf(*parsed.hfs);
    EXPECT_FALSE(paths.count("/docs/readme.txt"));
    EXPECT_TRUE(paths.count("/docs/fragmented.bin"));
    EXPECT_FALSE(paths.count("/ORPHAN_ENTRY"));
}

TEST(HfsPlusDamage, ExtentOutsideTheVolumeIsWrittenAsZerosAndReported) {
    Bytes volume = unpackFixture("built-4k.raw.xz");
    const size_t key = findCatalogKey(volume, 16, "readme.txt");
    putBe32(volume, key + 2 + 26 + 104, 0x00FFFFFF);
    Parsed parsed = parseVolume(volume, fs::ParseMode::Standard);
    ASSERT_TRUE(parsed.result.ok());
    auto paths = pathsOf(*parsed.hfs);
    Status status;
    const Bytes data = extractBytes(*parsed.hfs, paths["/docs/readme.txt"], &status);
    EXPECT_EQ(data, Bytes(5000, 0));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::Io);
}

TEST(HfsPlusDamage, LogicalSizeBeyondTheForksBlocksWritesOnlyTheBlocks) {
    Bytes volume = unpackFixture("built-4k.raw.xz");
    const size_t key = findCatalogKey(volume, 16, "readme.txt");
    putBe32(volume, key + 2 + 26 + 88, 0x10000000);  // logicalSize 2^60
    Parsed parsed = parseVolume(volume, fs::ParseMode::Standard);
    ASSERT_TRUE(parsed.result.ok());
    auto paths = pathsOf(*parsed.hfs);
    const EntryId readme = paths["/docs/readme.txt"];
    EXPECT_EQ(parsed.hfs->facts(readme).size, 2u * 4096);
    Status status;
    EXPECT_EQ(extractBytes(*parsed.hfs, readme, &status).size(), 2u * 4096);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().message.find("exceeds its 2 blocks"), std::string::npos)
        << status.error().message;
}

TEST(HfsPlusDamage, OverflowRecordThatAddsNoBlocksEndsTheLookup) {
    Bytes volume = unpackFixture("built-4k.raw.xz");
    // fragmented.bin (file 19), data fork, from block 8: its extents made empty.
    const Bytes key = {0, 10, 0, 0, 0, 0, 0, 19, 0, 0, 0, 8};
    auto found = std::search(volume.begin(), volume.end(), key.begin(), key.end());
    ASSERT_NE(found, volume.end());
    const size_t at = static_cast<size_t>(found - volume.begin());
    for (size_t i = 0; i < 8; ++i) putBe32(volume, at + 12 + 8 * i + 4, 0);
    Parsed parsed = parseVolume(volume, fs::ParseMode::Standard);
    ASSERT_TRUE(parsed.result.ok());
    auto paths = pathsOf(*parsed.hfs);
    Status status;
    const Bytes data = extractBytes(*parsed.hfs, paths["/docs/fragmented.bin"], &status);
    EXPECT_EQ(data.size(), 10u * 4096 - 100);
    EXPECT_FALSE(status.ok());
}

class StopAfter : public Progress {
public:
    explicit StopAfter(int checkpoints) : left_(checkpoints) {}
    bool checkpoint() override { return left_-- > 0; }

private:
    int left_;
};

TEST(HfsPlusDamage, StopKeepsWhatWasFoundAndSaysSo) {
    for (auto [mode, checkpoints] : {std::pair{fs::ParseMode::Standard, 0},
                                     {fs::ParseMode::Standard, 1},
                                     {fs::ParseMode::Deep, 0},
                                     {fs::ParseMode::Deep, 1},
                                     {fs::ParseMode::Deep, 3}}) {
        SCOPED_TRACE(std::string(fs::parseModeName(mode)) + " after " +
                     std::to_string(checkpoints));
        StopAfter stop(checkpoints);
        Parsed parsed = parseVolume(unpackFixture("built-512.raw.xz"), mode, &stop);
        ASSERT_TRUE(parsed.result.ok());
        EXPECT_TRUE(parsed.result.value().stopped);
        // A second parse of the same object starts afresh.
        Progress quiet;
        auto again = parsed.hfs->parse(mode, quiet);
        ASSERT_TRUE(again.ok());
        EXPECT_FALSE(again.value().stopped);
        EXPECT_GE(again.value().entryCount, 67u);
    }
}

// Random bytes changed in the metadata of real and built volumes: every parse ends with a
// result or an error, and every file it offers extracts or reports why not.
TEST(HfsPlusDamage, RandomlyDamagedVolumesEndCleanly) {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (const char* name : {"macos-hfsplus.raw.xz", "built-4k.raw.xz", "built-8k.raw.xz"}) {
        const Bytes original = unpackFixture(name);
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(std::string(name) + " round " + std::to_string(round));
            Bytes volume = original;
            // The first 1.2 MiB hold the headers and every B-tree of these volumes.
            const size_t span = std::min<size_t>(volume.size(), 1200 * 1024);
            for (int i = 0; i < 64; ++i) volume[next() % span] = static_cast<uint8_t>(next());
            for (fs::ParseMode mode : {fs::ParseMode::Standard, fs::ParseMode::Deep}) {
                Parsed parsed = parseVolume(volume, mode);
                if (!parsed.result.ok()) continue;
                const auto paths = pathsOf(*parsed.hfs);
                int extracted = 0;
                for (const auto& [path, id] : paths) {
                    if (parsed.hfs->isFolder(id) || ++extracted > 20) continue;
                    Status status;
                    (void)extractBytes(*parsed.hfs, id, &status);
                    (void)parsed.hfs->displayText(id);
                }
            }
        }
    }
}

}  // namespace
