// The ext2/3/4 parse on volumes made by mkfs.ext2/3/4 -d and debugfs (see
// tests/fixtures/make_ext.sh), against what fls, icat and debugfs read from them: every
// path, its kind, size, times and deleted state, and every live file's content.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "disk/memory_sector_source.h"
#include "fs/ext/ext2_class.h"
#include "fs/file_systems.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

// SHA-256, to compare extracted files with the fixture's reference hashes.
std::string sha256(const std::vector<uint8_t>& data) {
    static constexpr uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<uint8_t> m = data;
    const uint64_t bits = uint64_t{data.size()} * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t{m[block + 4 * i]} << 24 | uint32_t{m[block + 4 * i + 1]} << 16 |
                   uint32_t{m[block + 4 * i + 2]} << 8 | m[block + 4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 =
                hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
    char text[65];
    for (int i = 0; i < 8; ++i) std::snprintf(text + 8 * i, 9, "%08x", h[i]);
    return text;
}

}  // namespace

namespace test {

// The fixture volume unpacked into memory.
std::vector<uint8_t> unpackExtFixture(const std::string& name) {
    const std::string path =
        std::string(PRENDLE_SOURCE_DIR) + "/tests/fixtures/ext/" + name + ".img.xz";
    std::vector<uint8_t> bytes;
    FILE* pipe = ::popen(("xz -dc '" + path + "'").c_str(), "r");
    if (pipe == nullptr) return bytes;
    uint8_t buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    ::pclose(pipe);
    return bytes;
}

// Every entry under ROOT by its path ("a/b.txt"); ORPHAN_ENTRY's under "ORPHAN_ENTRY/...".
std::multimap<std::string, fs::EntryId> extPaths(const ext2Class& parser) {
    std::multimap<std::string, fs::EntryId> out;
    std::vector<std::pair<fs::EntryId, std::string>> stack;
    for (fs::EntryId top : parser.topLevel())
        stack.emplace_back(
            top, top == parser.rootIndex ? "" : std::string(parser.facts(top).name) + "/");
    std::vector<bool> seen(parser.entryCount());
    while (!stack.empty()) {
        auto [id, prefix] = stack.back();
        stack.pop_back();
        if (seen[id]) continue;
        seen[id] = true;
        for (fs::EntryId child : parser.children(id)) {
            const std::string path = prefix + std::string(parser.facts(child).name);
            out.emplace(path, child);
            stack.emplace_back(child, path + "/");
        }
    }
    return out;
}

}  // namespace test

namespace {

// The extracted file's length and SHA-256; large files go to sha256sum, which is far
// quicker than this test's own code under the sanitizers.
std::pair<uint64_t, std::string> extractedHash(ext2Class& parser, fs::EntryId id, Status& status) {
    test::TempFolder folder;
    const std::string path = folder.path() + "/out";
    auto out = FileHandle::createWrite(path);
    EXPECT_TRUE(out.ok());
    Progress progress;
    status = parser.extract(id, out.value(), progress);
    const uint64_t length = out.value().size().ok() ? out.value().size().value() : 0;
    out.value().close();
    if (length <= (1u << 20)) return {length, sha256(test::readWholeFile(path))};
    std::string digest;
    if (FILE* pipe = ::popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char text[65] = {};
        if (std::fread(text, 1, 64, pipe) == 64) digest = text;
        ::pclose(pipe);
    }
    return {length, digest};
}

uint64_t unixToFileTime(int64_t seconds) {
    return static_cast<uint64_t>(seconds + 11644473600) * 10000000u;
}

class ExtFixture : public testing::TestWithParam<const char*> {};

TEST_P(ExtFixture, EveryPathSizeTimeAndContentMatchesTheSleuthKit) {
    const std::string name = GetParam();
    MemorySectorSource disk(test::unpackExtFixture(name));
    ASSERT_GT(disk.bytes().size(), 0u);
    std::ifstream referenceFile(std::string(PRENDLE_SOURCE_DIR) + "/tests/fixtures/ext/" + name +
                                ".json");
    const nlohmann::json reference = nlohmann::json::parse(referenceFile);

    ext2Class parser(VolumeView::toDiskEnd(disk, 0), VolumeInfo{"extX", "", "0", "8", 0});
    Progress progress;
    auto summary = parser.parse(fs::ParseMode::Standard, progress);
    ASSERT_TRUE(summary.ok()) << summary.error().message;
    EXPECT_FALSE(summary.value().stopped);
    for (const auto& warning : summary.value().warnings) ADD_FAILURE() << warning;

    const auto paths = test::extPaths(parser);
    std::set<std::string> wantLive, gotLive;
    for (const auto& e : reference) {
        const std::string path = e["path"];
        if (path.rfind("$OrphanFiles", 0) == 0) continue;
        const bool deleted = e["deleted"];
        SCOPED_TRACE(name + ": " + path);
        fs::EntryId id = fs::kNoEntry;
        for (auto [it, end] = paths.equal_range(path); it != end; ++it)
            if (parser.isDeleted(it->second) == deleted) id = it->second;
        if (id == fs::kNoEntry) {
            ADD_FAILURE() << (deleted ? "deleted" : "live") << " entry missing";
            continue;
        }
        const fs::EntryFacts facts = parser.facts(id);
        const std::string type = e["type"];
        EXPECT_EQ(facts.folder, type == "d");
        if (deleted) continue;
        wantLive.insert(path);
        EXPECT_EQ(facts.link, type == "l");
        EXPECT_EQ(facts.modified, unixToFileTime(e["mtime"]));
        EXPECT_EQ(facts.accessed, unixToFileTime(e["atime"]));
        const int64_t crtime = e["crtime"];
        EXPECT_EQ(facts.created, unixToFileTime(crtime != 0 ? crtime : e["ctime"].get<int64_t>()));
        if (!e.contains("sha256")) continue;
        EXPECT_EQ(facts.size, e["bytes"].get<uint64_t>());
        Status status;
        const auto [length, digest] = extractedHash(parser, id, status);
        EXPECT_TRUE(status.ok()) << status.error().message;
        EXPECT_EQ(length, e["bytes"].get<uint64_t>());
        EXPECT_EQ(digest, e["sha256"].get<std::string>());
    }
    for (const auto& [path, id] : paths)
        if (!parser.isDeleted(id) && path.rfind("ORPHAN_ENTRY", 0) != 0) gotLive.insert(path);
    EXPECT_EQ(gotLive, wantLive);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExtFixture,
                         testing::Values("ext4", "ext4-1k", "ext4-inline", "ext3", "ext2"),
                         [](const auto& param) {
                             std::string name = param.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

TEST(ExtSha256, KnownDigests) {
    EXPECT_EQ(sha256({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(sha256(std::vector<uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace prendle
