// Recycle-bin names: index files of both layouts decoded from hand-made bytes, the pass
// over a small file system held in memory, and over the FAT32 fixture whose
// $RECYCLE.BIN mtools filled (tests/fixtures/fat/make_fat.sh).
#include "fs/common/recycle_bin.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "disk/memory_sector_source.h"
#include "fs/fat/fat_file_system.h"
#include "support/image_builder.h"

namespace prendle::fs {
namespace {

using test::Bytes;

Bytes indexFile(uint64_t version, const std::u16string& path, int64_t statedUnits = -1) {
    Bytes out(24, 0);
    test::putLe64(out, 0, version);
    test::putLe64(out, 8, 1234);
    test::putLe64(out, 16, 133000000000000000ULL);
    if (version == 2) {
        out.resize(28);
        test::putLe32(out, 24,
                      static_cast<uint32_t>(statedUnits >= 0 ? statedUnits : path.size() + 1));
    }
    for (char16_t unit : path) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    if (version == 1) out.resize(24 + 520, 0);
    return out;
}

TEST(RecycleIndex, BothLayoutsGiveTheStoredPath) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::optional<std::string> expected;
    };
    Bytes cut = indexFile(1, u"C:\\a.txt");
    cut.resize(24 + 6);  // no NUL: the path ends with the bytes
    Bytes overstated = indexFile(2, u"C:\\b.txt", 5000);
    const Case cases[] = {
        {"Version1", indexFile(1, u"C:\\Users\\ann\\report.txt"), "C:\\Users\\ann\\report.txt"},
        {"Version2", indexFile(2, u"C:\\Users\\ann\\Pläne 名.docx"),
         "C:\\Users\\ann\\Pläne 名.docx"},
        {"Version2ReadAsVersion1WouldBeGarbage", indexFile(2, u"D:\\x"), "D:\\x"},
        {"Version1CutShort", cut, "C:\\"},
        {"Version2LengthPastTheBytes", overstated, "C:\\b.txt"},
        {"Version2ShorterLengthCutsThePath", indexFile(2, u"C:\\long name.txt", 4), "C:\\l"},
        {"EmptyPath", indexFile(2, u""), std::nullopt},
        {"ZeroLength", indexFile(2, u"C:\\c.txt", 0), std::nullopt},
        {"UnknownVersion", indexFile(3, u"C:\\d.txt"), std::nullopt},
        {"TooShort", Bytes(20, 1), std::nullopt},
        {"Version2WithoutLength",
         Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeRecycleIndex(c.bytes), c.expected);
    }
    EXPECT_EQ(recycleBaseName("C:\\Users\\ann\\report.txt"), "report.txt");
    EXPECT_EQ(recycleBaseName("plain.txt"), "plain.txt");
    EXPECT_EQ(recycleBaseName("C:\\folder\\"), "");
}

// A file system held in memory: entry 0 is the root, each entry names its parent.
class MemoryFileSystem : public FileSystem {
public:
    struct Entry {
        std::string name;
        bool folder;
        EntryId parent;
        Bytes data;
    };
    EntryId add(std::string name, bool folder, EntryId parent, Bytes data = {}) {
        entries.push_back({std::move(name), folder, parent, std::move(data)});
        return entries.size() - 1;
    }
    Result<ParseSummary> parse(ParseMode, Progress&) override { return ParseSummary{}; }
    std::vector<EntryId> topLevel() const override { return children(0); }
    std::vector<EntryId> children(EntryId folder) const override {
        std::vector<EntryId> out;
        for (EntryId id = 1; id < entries.size(); ++id)
            if (entries[id].parent == folder) out.push_back(id);
        return out;
    }
    uint64_t entryCount() const override { return entries.size(); }
    bool usable(EntryId id) const override { return id > 0 && id < entries.size(); }
    bool isFolder(EntryId id) const override { return entries[id].folder; }
    bool isDeleted(EntryId) const override { return false; }
    EntryFacts facts(EntryId id) const override {
        EntryFacts out;
        out.name = entries[id].name;
        out.folder = entries[id].folder;
        out.size = entries[id].data.size();
        return out;
    }
    EntryDisplayText displayText(EntryId) const override { return {}; }
    Status extract(EntryId id, const FileHandle& out, Progress&) override {
        ++extractions;
        return out.writeAt(0, entries[id].data);
    }
    std::vector<Entry> entries = {{"", true, 0, {}}};
    int extractions = 0;
};

class ScopedTempDir {
public:
    ScopedTempDir() {
        const char* old = getenv("TMPDIR");
        if (old != nullptr) old_ = old;
        setenv("TMPDIR", folder_.path().c_str(), 1);
    }
    ~ScopedTempDir() {
        if (old_)
            setenv("TMPDIR", old_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    size_t fileCount() const {
        return static_cast<size_t>(
            std::distance(std::filesystem::directory_iterator(folder_.path()),
                          std::filesystem::directory_iterator()));
    }

private:
    test::TempFolder folder_;
    std::optional<std::string> old_;
};

TEST(RecycleBinPass, IndexFilesRenameTheirContentInEveryUserFolder) {
    MemoryFileSystem fs;
    const EntryId bin = fs.add("$Recycle.Bin", true, 0);  // NTFS spells it so
    const EntryId user = fs.add("S-1-5-21-1-2-3-1001", true, bin);
    fs.add("$IAB12CD.txt", false, user, indexFile(1, u"C:\\Users\\ann\\report v1.txt"));
    const EntryId v1 = fs.add("$RAB12CD.txt", false, user, Bytes(10, 'a'));
    fs.add("$IXY34ZW.docx", false, user, indexFile(2, u"C:\\Desktop\\plan (final).docx"));
    const EntryId v2 = fs.add("$RXY34ZW.docx", false, user, Bytes(10, 'b'));
    fs.add("$IEMPTY1.txt", false, user, indexFile(2, u""));
    const EntryId empty = fs.add("$REMPTY1.txt", false, user, Bytes(3, 'c'));
    fs.add("$IBIG001.txt", false, user, Bytes(kMaxRecycleIndexBytes + 1, 1));
    const EntryId big = fs.add("$RBIG001.txt", false, user, Bytes(3, 'd'));
    fs.add("$ITOP001.txt", false, bin, indexFile(2, u"D:\\top.txt"));
    const EntryId top = fs.add("$RTOP001.txt   ", false, bin, Bytes(3, 'e'));
    // Only the bin at the top level counts.
    const EntryId elsewhere = fs.add("other", true, 0);
    fs.add("$IOUT001.txt", false, elsewhere, indexFile(2, u"C:\\out.txt"));
    const EntryId outside = fs.add("$ROUT001.txt", false, elsewhere, Bytes(3, 'f'));

    ScopedTempDir temp;
    Progress progress;
    EXPECT_EQ(restoreRecycleBinNames(fs, progress), 3u);
    EXPECT_EQ(fs.name(v1), "report v1.txt");
    EXPECT_EQ(fs.name(v2), "plan (final).docx");
    EXPECT_EQ(fs.name(top), "top.txt");
    EXPECT_EQ(fs.name(empty), "$REMPTY1.txt");
    EXPECT_EQ(fs.name(big), "$RBIG001.txt");
    EXPECT_EQ(fs.name(outside), "$ROUT001.txt");
    EXPECT_EQ(fs.extractions, 4);  // the oversized index is never copied out
    EXPECT_EQ(temp.fileCount(), 0u);
}

std::vector<uint8_t> unpackFat32Fixture() {
    const std::string command =
        "xz -dc '" + std::string(PRENDLE_SOURCE_DIR) + "/tests/fixtures/fat/fat32.img.xz'";
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

TEST(RecycleBinPass, AFat32BinMadeByMtoolsShowsTheFormerNames) {
    MemorySectorSource source(unpackFat32Fixture());
    fat::Fat32Class volume(VolumeView::toDiskEnd(source, 0), {});
    Progress progress;
    ASSERT_TRUE(volume.parse(ParseMode::Standard, progress).ok());
    ScopedTempDir temp;
    EXPECT_EQ(restoreRecycleBinNames(volume, progress), 4u);
    EXPECT_EQ(temp.fileCount(), 0u);

    std::map<std::string, std::string> shown;  // disk name -> shown name
    std::vector<EntryId> stack = volume.topLevel();
    while (!stack.empty()) {
        const EntryId id = stack.back();
        stack.pop_back();
        shown[std::string(volume.facts(id).name)] = std::string(volume.name(id));
        if (volume.isFolder(id))
            for (EntryId child : volume.children(id)) stack.push_back(child);
    }
    EXPECT_EQ(shown["$RAB12CD.txt"], "report v1.txt");
    EXPECT_EQ(shown["$RXY34ZW.docx"], "Quarterly plan (final).docx");
    EXPECT_EQ(shown["$RFOLDR1"], "Old Photos");
    EXPECT_EQ(shown["$RTOP001.txt"], "top level.txt");
    EXPECT_EQ(shown["$REMPTY1.txt"], "$REMPTY1.txt");
    EXPECT_EQ(shown["$IAB12CD.txt"], "$IAB12CD.txt");
    EXPECT_EQ(shown["beach.jpg"], "beach.jpg");
}

}  // namespace
}  // namespace prendle::fs
