// The HFS+ parser on whole volumes: the macOS sample and the built ones, compared with
// what The Sleuth Kit (fls, icat) read from them when the fixtures were made.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "disk/memory_sector_source.h"
#include "fs/file_systems.h"
#include "fs/hfsplus/hfsp.h"

using namespace prendle;
using prendle::fs::EntryId;

namespace {

const std::string kFixtures = std::string(PRENDLE_SOURCE_DIR) + "/tests/fixtures/hfsplus/";

std::vector<uint8_t> runForBytes(const std::string& command) {
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

std::vector<uint8_t> unpackFixture(const std::string& name) {
    return runForBytes("xz -dc '" + kFixtures + name + "'");
}

std::string sha256OfFile(const std::string& path) {
    const auto text = runForBytes("sha256sum '" + path + "'");
    return std::string(text.begin(), text.begin() + std::min<size_t>(64, text.size()));
}

nlohmann::json loadReference(const std::string& name) {
    std::ifstream stream(kFixtures + name);
    return nlohmann::json::parse(stream);
}

struct OpenedVolume {
    std::unique_ptr<MemorySectorSource> source;
    std::unique_ptr<HFSP> hfs;
    fs::ParseSummary summary;
};

OpenedVolume openVolume(std::vector<uint8_t> bytes, fs::ParseMode mode) {
    OpenedVolume opened;
    opened.source = std::make_unique<MemorySectorSource>(std::move(bytes));
    VolumeInfo info;
    info.fsName = "HFS+";
    info.kind = FileSystemKind::HfsPlus;
    opened.hfs = std::make_unique<HFSP>(VolumeView::toDiskEnd(*opened.source, 0), info);
    Progress quiet;
    auto parsed = opened.hfs->parse(mode, quiet);
    EXPECT_TRUE(parsed.ok()) << (parsed.ok() ? "" : parsed.error().message);
    if (parsed) opened.summary = parsed.value();
    return opened;
}

// Every entry reachable from the top level, by its path ("/a/b").
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

int64_t seconds(uint64_t fileTime) {
    return fileTime == 0 ? 0 : static_cast<int64_t>(fileTime / 10000000) - 11644473600;
}

std::string extractToFile(HFSP& hfs, EntryId id, const std::string& path, Status* status) {
    auto out = FileHandle::createWrite(path);
    EXPECT_TRUE(out.ok());
    Progress quiet;
    *status = hfs.extract(id, out.value(), quiet);
    out.value().close();
    return sha256OfFile(path);
}

// Checks a volume against its reference: the same live paths, kinds, sizes, times and data.
void expectMatchesReference(HFSP& hfs, const nlohmann::json& reference, const std::string& tag) {
    const auto paths = pathsOf(hfs);
    const std::string scratch = testing::TempDir() + "hfsplus_" + tag;
    std::set<std::string> expected;
    size_t sidecars = 0;
    for (const auto& want : reference) {
        const std::string path = want["path"];
        expected.insert(path);
        auto found = paths.find(path);
        if (found == paths.end()) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        const fs::EntryFacts facts = hfs.facts(found->second);
        const std::string kind = want["kind"];
        EXPECT_EQ(facts.folder, kind == "dir") << path;
        EXPECT_EQ(facts.link, kind == "link") << path;
        EXPECT_FALSE(facts.deleted) << path;
        EXPECT_EQ(seconds(facts.created), want["created"].get<int64_t>()) << path;
        EXPECT_EQ(seconds(facts.modified), want["modified"].get<int64_t>()) << path;
        EXPECT_EQ(seconds(facts.accessed), want["accessed"].get<int64_t>()) << path;
        if (kind == "dir") continue;
        EXPECT_EQ(facts.size, want["size"].get<uint64_t>()) << path;
        Status status;
        const std::string sha = extractToFile(hfs, found->second, scratch, &status);
        EXPECT_TRUE(status.ok()) << path << ": " << (status.ok() ? "" : status.error().message);
        if (want.contains("sha256"))
            EXPECT_EQ(sha, want["sha256"].get<std::string>()) << path;
        else  // icat refused it; its data fork is empty
            EXPECT_EQ(sha, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
                << path;
        // A resource fork is saved beside its file as "._name" (AppleDouble), except where
        // it holds a compressed file's data.
        if (!want.contains("rsrc_sha256")) continue;
        const size_t slash = path.rfind('/');
        const std::string sidecarPath = path.substr(0, slash + 1) + "._" + path.substr(slash + 1);
        auto sidecar = paths.find(sidecarPath);
        if (sidecar == paths.end()) continue;
        expected.insert(sidecarPath);
        (void)extractToFile(hfs, sidecar->second, scratch, &status);
        EXPECT_TRUE(status.ok()) << sidecarPath;
        const auto forkSha = runForBytes("tail -c +83 '" + scratch + "' | sha256sum");
        EXPECT_EQ(std::string(forkSha.begin(), forkSha.begin() + 64),
                  want["rsrc_sha256"].get<std::string>())
            << sidecarPath;
        ++sidecars;
    }
    for (const auto& [path, id] : paths) {
        if (!hfs.isDeleted(id) && path.rfind("/ORPHAN_ENTRY", 0) != 0) {
            EXPECT_TRUE(expected.count(path) != 0) << "extra " << path;
        }
    }
    std::filesystem::remove(scratch);
    EXPECT_GE(sidecars, 1u);
}

TEST(HfsPlusVolume, MacVolumeMatchesSleuthKitInEveryMode) {
    const auto reference = loadReference("macos-hfsplus.json");
    for (fs::ParseMode mode : {fs::ParseMode::Standard, fs::ParseMode::Deep}) {
        SCOPED_TRACE(fs::parseModeName(mode));
        OpenedVolume opened = openVolume(unpackFixture("macos-hfsplus.raw.xz"), mode);
        ASSERT_TRUE(opened.hfs);
        EXPECT_TRUE(opened.summary.warnings.empty())
            << (opened.summary.warnings.empty() ? "" : opened.summary.warnings.front());
        expectMatchesReference(*opened.hfs, reference, "mac");
    }
}

// Checks the builder's own list: every file (deleted ones when asked) by path and data.
void expectManifestFiles(HFSP& hfs, const nlohmann::json& manifest, bool withDeleted,
                         bool deletedFlagKnown, const std::string& tag) {
    const auto paths = pathsOf(hfs);
    const std::string scratch = testing::TempDir() + "hfsplus_manifest_" + tag;
    for (const auto& want : manifest["files"]) {
        const std::string path = want["path"];
        const bool deleted = want["deleted"];
        auto found = paths.find(path);
        if (deleted && !withDeleted) {
            EXPECT_TRUE(found == paths.end()) << "deleted file listed: " << path;
            continue;
        }
        if (found == paths.end()) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        if (deletedFlagKnown) {
            EXPECT_EQ(hfs.isDeleted(found->second), deleted) << path;
        }
        EXPECT_EQ(hfs.facts(found->second).size, want["size"].get<uint64_t>()) << path;
        Status status;
        EXPECT_EQ(extractToFile(hfs, found->second, scratch, &status),
                  want["sha256"].get<std::string>())
            << path;
        EXPECT_TRUE(status.ok()) << path << ": " << (status.ok() ? "" : status.error().message);
    }
    std::filesystem::remove(scratch);
}

// Fragmented catalog and forks continued in the extents-overflow file, decmpfs files,
// nodes that span blocks and nodes that share one: the same as fls/icat in both modes, and
// the deleted records (node slack, a freed node) only in the deep one.
TEST(HfsPlusVolume, BuiltVolumesMatchSleuthKitAndDeepModeAddsDeletedRecords) {
    for (const char* name : {"built-4k", "built-512", "built-8k"}) {
        const auto reference = loadReference(std::string(name) + ".json");
        const auto manifest = loadReference(std::string(name) + ".manifest.json");
        for (fs::ParseMode mode : {fs::ParseMode::Standard, fs::ParseMode::Deep}) {
            SCOPED_TRACE(std::string(name) + " " + fs::parseModeName(mode));
            OpenedVolume opened = openVolume(unpackFixture(std::string(name) + ".raw.xz"), mode);
            ASSERT_TRUE(opened.hfs);
            EXPECT_TRUE(opened.summary.warnings.empty())
                << (opened.summary.warnings.empty() ? "" : opened.summary.warnings.front());
            expectMatchesReference(*opened.hfs, reference, name);
            const bool deep = mode == fs::ParseMode::Deep;
            expectManifestFiles(*opened.hfs, manifest, deep, true, name);
            EXPECT_EQ(opened.summary.deletedCount, deep ? 3u : 0u);
        }
    }
}

TEST(HfsPlusVolume, ZeroedPrimaryHeaderFallsBackToTheAlternateHeader) {
    const auto manifest = loadReference("built-althdr.manifest.json");
    OpenedVolume opened = openVolume(unpackFixture("built-althdr.raw.xz"), fs::ParseMode::Standard);
    ASSERT_TRUE(opened.hfs);
    ASSERT_EQ(opened.summary.warnings.size(), 1u);
    EXPECT_NE(opened.summary.warnings[0].find("alternate header"), std::string::npos);
    expectManifestFiles(*opened.hfs, manifest, false, true, "althdr");
}

TEST(HfsPlusVolume, DeepScanFindsTheCatalogOfAVolumeWithBothHeadersZeroed) {
    const auto manifest = loadReference("built-nohdr.manifest.json");
    {
        MemorySectorSource source(unpackFixture("built-nohdr.raw.xz"));
        HFSP hfs(VolumeView::toDiskEnd(source, 0), VolumeInfo{});
        Progress quiet;
        auto parsed = hfs.parse(fs::ParseMode::Standard, quiet);
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error().kind, ErrorKind::Corrupt);
        EXPECT_NE(parsed.error().message.find("signature"), std::string::npos);
    }
    OpenedVolume opened = openVolume(unpackFixture("built-nohdr.raw.xz"), fs::ParseMode::Deep);
    ASSERT_TRUE(opened.hfs);
    EXPECT_EQ(opened.hfs->allocationBlockBytes(), 4096u);
    // Without a live tree nothing tells the freed node from a live one; the slack record
    // is still known to be deleted.
    expectManifestFiles(*opened.hfs, manifest, true, false, "nohdr");
}

TEST(HfsPlusVolume, TableOpensHfsPlusVolumes) {
    const fs::FileSystemType* type = fs::findFileSystem(FileSystemKind::HfsPlus);
    ASSERT_NE(type, nullptr);
    EXPECT_STREQ(type->startStatus, "HFS+ partition selected....");
    EXPECT_EQ(type->modes,
              (std::vector<fs::ParseMode>{fs::ParseMode::Standard, fs::ParseMode::Deep}));
}

TEST(HfsPlusVolume, RootFolderListsItsChildrenByDescendingIdAndTheTopLevelAscends) {
    OpenedVolume opened =
        openVolume(unpackFixture("macos-hfsplus.raw.xz"), fs::ParseMode::Standard);
    const HFSP& hfs = *opened.hfs;
    std::vector<uint32_t> top;
    for (EntryId id : hfs.topLevel()) top.push_back(hfs.entry(id).cnid);
    EXPECT_TRUE(std::is_sorted(top.begin(), top.end()));
    const auto paths = pathsOf(hfs);
    std::vector<uint32_t> inFolder;
    std::vector<std::string> names;
    for (EntryId id : hfs.children(paths.at("/testdir1"))) {
        inFolder.push_back(hfs.entry(id).cnid);
        names.emplace_back(hfs.name(id));
    }
    EXPECT_TRUE(std::is_sorted(inFolder.rbegin(), inFolder.rend()));
    // Five entries and the resource fork's AppleDouble file right after its own file.
    ASSERT_EQ(names.size(), 6u);
    auto fork = std::find(names.begin(), names.end(), "resourcefork1");
    ASSERT_NE(fork, names.end());
    ASSERT_NE(fork + 1, names.end());
    EXPECT_EQ(*(fork + 1), "._resourcefork1");
}

}  // namespace
