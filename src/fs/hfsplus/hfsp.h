// The HFS+ parser: reads the volume header (or its alternate copy), the extents-overflow,
// catalog and attributes B-trees through all their extents, links folders and files to
// their parents and writes data forks out, resolving hard links and decmpfs compression.
// The deep mode also scans the volume for catalog leaf nodes and node slack. Tests compare
// with The Sleuth Kit's fls, istat and icat on a macOS volume and on built ones.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/common/file_system.h"
#include "fs/hfsplus/hfs_structures.h"

// One folder or file record of the catalog.
struct HfsEntry {
    uint16_t kind = 0;  // 1 folder, 2 file
    uint32_t parentId = 0;
    uint32_t cnid = 0;  // folderID or fileID; the key in catalogMap
    // Entry ids (not CNIDs) of the first child and the next sibling; -1 ends a list.
    int64_t firstChild = -1;
    int64_t nextSibling = -1;
    uint32_t totalBlocks = 0;  // the data fork's
    std::string name;          // UTF-8 as stored (decomposed, NFD); control characters as '^'
    uint64_t nodeBlock = 0;    // byte offset of the catalog node holding the record
    uint32_t offsetInNode = 0;
    uint64_t size = 0;               // the data fork's logicalSize
    std::vector<HfsExtent> extents;  // the data fork's extents from the record
    prendle::hfs_format::ForkData resourceFork;
    uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0;
    uint16_t fileMode = 0;
    uint8_t ownerFlags = 0;
    uint32_t fileType = 0, creator = 0, special = 0;
    bool deleted = false;  // found outside the live tree: free nodes or node slack
    // A hard link's target (the iNode file or dir_ folder), or ~0.
    uint64_t linkTarget = ~uint64_t{0};
    // An entry of our own beside a file with a resource fork: "._name", the fork in an
    // AppleDouble file as macOS writes it to foreign file systems.
    bool resourceSidecar = false;
};

// AppleDouble: header 26 bytes, two entry descriptors, Finder info (32) and the fork.
inline constexpr uint64_t kAppleDoubleHeaderBytes = 82;

// A B-tree node the walks used.
struct HfsNodeRef {
    uint64_t nodeNumber = 0;    // in its tree, or for the volume scan its byte offset
    uint64_t volumeOffset = 0;  // where the node begins in the volume
    int8_t kind = 0;
    uint8_t height = 0;
    uint16_t numRecords = 0;
    bool live = false;  // in use in its tree
};

// One extents-overflow record: up to eight more extents of a fork from startBlock on.
struct HfsOverflowRef {
    uint8_t forkType = 0;  // 0x00 data, 0xFF resource
    uint32_t fileId = 0;
    uint32_t startBlock = 0;
    std::array<HfsExtent, 8> extents{};
};

inline constexpr char kHfsOrphanEntryName[] = "ORPHAN_ENTRY";

class HFSP : public prendle::fs::FileSystem {
public:
    HFSP(const prendle::VolumeView& view, VolumeInfo volumeRecord);

    prendle::Result<prendle::fs::ParseSummary> parse(prendle::fs::ParseMode mode,
                                                     prendle::Progress& progress) override;
    std::vector<prendle::fs::EntryId> topLevel() const override { return topLevel_; }
    std::vector<prendle::fs::EntryId> children(prendle::fs::EntryId folder) const override;
    uint64_t entryCount() const override { return entries_.size(); }
    bool usable(prendle::fs::EntryId id) const override { return id < entries_.size(); }
    bool isFolder(prendle::fs::EntryId id) const override;
    bool isDeleted(prendle::fs::EntryId id) const override;
    prendle::fs::EntryFacts facts(prendle::fs::EntryId id) const override;
    prendle::EntryDisplayText displayText(prendle::fs::EntryId id) const override {
        return describeHfsEntry(id);
    }
    prendle::Status extract(prendle::fs::EntryId id, const prendle::FileHandle& out,
                            prendle::Progress& progress) override {
        return extractHfsEntry(id, out, progress);
    }

    // The list texts: creation, access and content-modification times, the mode's tokens.
    prendle::EntryDisplayText describeHfsEntry(prendle::fs::EntryId id) const;
    // Writes the file's data fork (its hard link's target's, decompressed when macOS
    // compressed it) into out. Unreadable or missing blocks are written as zeros and
    // reported as an error after the rest is written.
    prendle::Status extractHfsEntry(prendle::fs::EntryId id, const prendle::FileHandle& out,
                                    prendle::Progress& progress) const;

    const HfsEntry& entry(prendle::fs::EntryId id) const { return entries_.at(id); }
    // CNID to entry id.
    const std::map<uint32_t, prendle::fs::EntryId>& catalogEntries() const { return catalogMap; }
    const std::vector<HfsNodeRef>& catalogNodeRefs() const { return catalogNodes; }
    uint64_t allocationBlockBytes() const { return blockSize; }
    bool headerFound() const { return headerValid; }

    VolumeInfo volume;

private:
    struct BTreeFile {
        std::vector<HfsExtent> extents;
        uint64_t logicalSize = 0;
        prendle::hfs_format::BTreeHeader header;
        std::vector<bool> inUse;  // from the map records; nodes past them count as in use
    };
    struct ResolvedFork {
        std::vector<HfsExtent> extents;
        std::string problem;  // empty when every block of the fork is known
    };

    bool readVolumeHeader(prendle::fs::ParseSummary& summary);
    prendle::Result<BTreeFile> openBTree(const prendle::hfs_format::ForkData& fork, uint32_t fileId,
                                         const char* what) const;
    // Calls onNode(nodeNumber, node bytes, volume offset) for every node of the tree,
    // reading ~1 MiB at a time. False when stopped.
    template <class OnNode>
    bool walkNodes(const BTreeFile& tree, prendle::Progress& progress, OnNode onNode) const;
    void loadOverflowExtents(prendle::fs::ParseSummary& summary, prendle::Progress& progress);
    bool scanCatalogNodes(prendle::fs::ParseSummary& summary, prendle::Progress& progress);
    enum class LeafKind { None, Catalog, Extents, Attributes };
    static LeafKind classifyLeaf(std::span<const uint8_t> node,
                                 const std::vector<prendle::hfs_format::RecordSpan>& spans);
    // Keeps extents-overflow and decmpfs records of leaves the volume scan found.
    void collectScannedLeaf(std::span<const uint8_t> node,
                            const std::vector<prendle::hfs_format::RecordSpan>& spans,
                            LeafKind kind);
    bool deepScanCatalogNodes(prendle::fs::ParseSummary& summary, prendle::Progress& progress);
    void loadCompressionHeaders(prendle::fs::ParseSummary& summary, prendle::Progress& progress);
    // The records of one leaf node; deleted marks records from outside the live tree.
    void parseLeafNode(std::span<const uint8_t> node, const HfsNodeRef& ref, bool deleted,
                       bool carveSlack, prendle::fs::ParseSummary& summary);
    // Returns the bytes the record used, 0 when it was not a folder or file record.
    size_t addCatalogRecord(std::span<const uint8_t> record, uint64_t nodeOffset,
                            uint32_t offsetInNode, bool deleted, bool strict,
                            prendle::fs::ParseSummary& summary);
    void carveNodeSlack(std::span<const uint8_t> node, uint32_t from, uint32_t to,
                        uint64_t nodeOffset, prendle::fs::ParseSummary& summary);
    void guessBlockSize(prendle::fs::ParseSummary& summary);
    void resolveHardLinks();
    void linkEntries(prendle::Progress& progress);

    // A fork's extents from its record and the extents-overflow file.
    ResolvedFork resolveFork(uint32_t fileId, uint8_t forkType,
                             const prendle::hfs_format::ForkData& fork) const;
    // Reads fork bytes; parts no extent covers or that fail to read are zeros and make the
    // result false.
    bool readFork(const std::vector<HfsExtent>& extents, uint64_t offset,
                  std::span<uint8_t> out) const;
    std::optional<uint64_t> forkOffsetToVolume(const std::vector<HfsExtent>& extents,
                                               uint64_t offset) const;
    void addResourceSidecars();
    prendle::Status writeAppleDouble(const HfsEntry& file, const prendle::FileHandle& out,
                                     prendle::Progress& progress) const;
    // Writes the fork at outOffset on in out.
    prendle::Status writeFork(const HfsEntry& file, uint8_t forkType,
                              const prendle::hfs_format::ForkData& fork, uint64_t outOffset,
                              const prendle::FileHandle& out, prendle::Progress& progress) const;
    prendle::Status writeCompressed(const HfsEntry& file, std::span<const uint8_t> attribute,
                                    const prendle::FileHandle& out,
                                    prendle::Progress& progress) const;
    const HfsEntry& dataSource(prendle::fs::EntryId id) const;
    uint64_t volumeBytes() const;
    // What of a fork can be written: its logical size, but never more than its blocks and
    // never more than the volume holds.
    uint64_t forkReadableBytes(uint64_t logicalSize, uint32_t totalBlocks) const;

    prendle::VolumeView view_;
    prendle::hfs_format::VolumeHeader volumeHeader;
    bool headerValid = false;
    uint64_t blockSize = 0;
    uint64_t catalogNodeSize = 0;
    uint64_t extentsNodeSize = 0;
    bool deepScan = false;
    std::vector<HfsEntry> entries_;
    std::map<uint32_t, prendle::fs::EntryId> catalogMap;
    std::vector<HfsNodeRef> catalogNodes;
    std::vector<HfsNodeRef> extentNodes;
    std::map<std::tuple<uint32_t, uint8_t, uint32_t>, HfsOverflowRef> overflowMap;
    std::unordered_map<uint32_t, std::vector<uint8_t>> compressionHeaders_;
    std::unordered_set<uint64_t> liveNodeOffsets_;
    std::vector<HfsOverflowRef> scannedOverflow_;
    std::unordered_map<uint32_t, std::vector<uint8_t>> scannedCompression_;
    bool overflowTreeLoaded_ = false;
    bool attributesTreeLoaded_ = false;
    std::vector<prendle::fs::EntryId> topLevel_;
};

namespace prendle::fs {
// The table line: HFS+ volumes, Standard and Deep modes.
FileSystemType hfsPlusFileSystem();
}  // namespace prendle::fs
