// What the browser needs of a parsed volume, whatever its file system: the parse itself,
// the first tree level, the records' children and texts, and writing one file out.
// Records are the parser's own indexes or ids.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controls/check_tree.h"
#include "common/error.h"
#include "fs/common/display_format.h"
#include "fs/ntfs/ntfs.h"

namespace prendle::browser {

class BrowsedVolume {
public:
    virtual ~BrowsedVolume() = default;
    virtual void parse(int recoveryMode) = 0;
    virtual std::vector<TreeItem> insertFirstLevel(CXHtmlTree& tree, TreeItem rootItem) = 0;
    virtual bool usable(uint64_t record) const = 0;
    virtual bool isFolder(uint64_t record) const = 0;
    virtual std::vector<uint64_t> children(uint64_t record) const = 0;
    virtual bool isDeleted(uint64_t record) const = 0;
    virtual std::string name(uint64_t record) const = 0;
    virtual EntryDisplayText displayText(uint64_t record) const = 0;
    virtual std::string sizeText(uint64_t record) const = 0;
    // Writes the file `record` as `targetPath` and restores its times.
    virtual Status extract(uint64_t record, const std::string& targetPath) = 0;
    // Entries counted but never written ("$BadClus" on NTFS).
    virtual bool skippedOnSave(uint64_t) const { return false; }
    virtual void setStop(bool stop) = 0;
    virtual bool stopRequested() const = 0;
    // NTFS children take their folder's check state when they are inserted.
    virtual bool inheritsCheck() const { return false; }
};

class NtfsVolume : public BrowsedVolume {
public:
    NtfsVolume(readWriteInterface& reader, const VolumeInfo& volume, ParseListener& listener)
        : parser(reader, volume, listener) {}
    void parse(int recoveryMode) override;
    std::vector<TreeItem> insertFirstLevel(CXHtmlTree& tree, TreeItem rootItem) override {
        return parser.insertFirstLevel(tree, rootItem);
    }
    bool usable(uint64_t record) const override;
    bool isFolder(uint64_t record) const override;
    std::vector<uint64_t> children(uint64_t record) const override {
        return parser.childrenOf(record);
    }
    bool isDeleted(uint64_t record) const override;
    std::string name(uint64_t record) const override;
    EntryDisplayText displayText(uint64_t record) const override {
        return parser.displayText(record);
    }
    std::string sizeText(uint64_t record) const override { return parser.sizeText(record); }
    Status extract(uint64_t record, const std::string& targetPath) override;
    bool skippedOnSave(uint64_t record) const override { return name(record) == "$BadClus"; }
    void setStop(bool stop) override { parser.stopRequested = stop; }
    bool stopRequested() const override { return parser.stopRequested; }
    bool inheritsCheck() const override { return true; }

    ntfs parser;
};

}  // namespace prendle::browser
