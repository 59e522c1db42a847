#include "fs/hfsplus/hfsp.h"

#include <algorithm>
#include <charconv>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "fs/hfsplus/decmpfs.h"

using namespace prendle;
using namespace prendle::hfs_format;
using prendle::fs::EntryId;
using prendle::fs::ParseSummary;

namespace {

constexpr size_t kReadPieceBytes = size_t{1} << 20;
constexpr size_t kScanChunkBytes = size_t{4} << 20;
// Inline attributes are bounded by the attribute tree's node size.
constexpr size_t kMaxAttributeBytes = kMaxNodeBytes;

bool decmpfsName(const std::vector<uint16_t>& name) {
    static constexpr char kName[] = "com.apple.decmpfs";
    if (name.size() != sizeof kName - 1) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (name[i] != static_cast<uint8_t>(kName[i])) return false;
    return true;
}

}  // namespace

HFSP::HFSP(const VolumeView& view, VolumeInfo volumeRecord)
    : volume(std::move(volumeRecord)), view_(view) {}

uint64_t HFSP::volumeBytes() const {
    if (headerValid) {
        const uint64_t stated = uint64_t{volumeHeader.totalBlocks} * blockSize;
        return std::min(stated, view_.length);
    }
    return view_.length;
}

uint64_t HFSP::forkReadableBytes(uint64_t logicalSize, uint32_t totalBlocks) const {
    if (blockSize == 0) return 0;
    const uint64_t blocks = std::min<uint64_t>(totalBlocks, volumeBytes() / blockSize);
    return std::min(logicalSize, blocks * blockSize);
}

// --- the volume header ---------------------------------------------------------------

bool HFSP::readVolumeHeader(ParseSummary& summary) {
    std::vector<uint8_t> bytes(kVolumeHeaderBytes);
    (void)view_.readAt(kVolumeHeaderOffset, bytes);
    auto primary = decodeVolumeHeader(bytes);
    if (primary) {
        volumeHeader = primary.value();
        headerValid = true;
        blockSize = volumeHeader.blockSize;
        return true;
    }
    // The alternate header lies 1024 bytes before the volume's end; the view may run to the
    // disk's end, so the stated size in megabytes is tried as well.
    std::vector<uint64_t> ends = {view_.length};
    uint64_t megabytes = 0;
    const std::string& sizeText = volume.sizeText;
    const auto parsed =
        std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), megabytes);
    if (parsed.ec == std::errc{} && megabytes > 0 && megabytes < (uint64_t{1} << 40))
        ends.push_back(megabytes << 20);
    for (uint64_t end : ends) {
        if (end < 2048) continue;
        const uint64_t at = end - kVolumeHeaderOffset;
        if (!view_.readAt(at, bytes)) continue;
        auto alternate = decodeVolumeHeader(bytes);
        if (!alternate) continue;
        volumeHeader = alternate.value();
        headerValid = true;
        blockSize = volumeHeader.blockSize;
        summary.warn("volume header at byte 1024 unusable (" + primary.error().message +
                     "); the alternate header at byte " + std::to_string(at) + " is used");
        return true;
    }
    summary.warn(primary.error().message);
    return false;
}

// --- reading forks -------------------------------------------------------------------

bool HFSP::readFork(const std::vector<HfsExtent>& extents, uint64_t offset,
                    std::span<uint8_t> out) const {
    std::fill(out.begin(), out.end(), uint8_t{0});
    if (blockSize == 0) return false;
    const uint64_t limitBlocks = volumeBytes() / blockSize;
    uint64_t covered = 0;
    uint64_t forkBlock = 0;
    const uint64_t end = offset + out.size();
    bool ok = true;
    for (const HfsExtent& extent : extents) {
        const uint64_t extentStart = forkBlock * blockSize;
        const uint64_t extentEnd = (forkBlock + extent.blockCount) * blockSize;
        forkBlock += extent.blockCount;
        if (extentEnd <= offset) continue;
        if (extentStart >= end) break;
        const uint64_t from = std::max(offset, extentStart);
        const uint64_t to = std::min(end, extentEnd);
        covered += to - from;
        // An extent reaching past the volume is damage: its bytes stay zero.
        if (uint64_t{extent.startBlock} + extent.blockCount > limitBlocks) {
            ok = false;
            continue;
        }
        const uint64_t volumeAt = uint64_t{extent.startBlock} * blockSize + (from - extentStart);
        if (!view_.readAt(volumeAt, out.subspan(from - offset, to - from))) {
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(from - offset),
                      out.begin() + static_cast<std::ptrdiff_t>(to - offset), uint8_t{0});
            ok = false;
        }
    }
    return ok && covered == out.size();
}

std::optional<uint64_t> HFSP::forkOffsetToVolume(const std::vector<HfsExtent>& extents,
                                                 uint64_t offset) const {
    uint64_t forkBlock = 0;
    for (const HfsExtent& extent : extents) {
        const uint64_t extentStart = forkBlock * blockSize;
        forkBlock += extent.blockCount;
        if (offset < forkBlock * blockSize)
            return uint64_t{extent.startBlock} * blockSize + (offset - extentStart);
    }
    return std::nullopt;
}

HFSP::ResolvedFork HFSP::resolveFork(uint32_t fileId, uint8_t forkType,
                                     const ForkData& fork) const {
    ResolvedFork resolved;
    uint64_t known = 0;
    bool ended = false;
    for (const HfsExtent& extent : fork.extents) {
        // The record's list ends at its first empty descriptor.
        if (extent.blockCount == 0) {
            ended = true;
            break;
        }
        resolved.extents.push_back(extent);
        known += extent.blockCount;
    }
    // Each further record is found by the fork block it starts at; a record that adds no
    // blocks ends the lookup, so a damaged file cannot make it loop.
    size_t lookups = 0;
    while (!ended && known < fork.totalBlocks && known <= UINT32_MAX) {
        if (++lookups > overflowMap.size()) break;
        auto found = overflowMap.find({fileId, forkType, static_cast<uint32_t>(known)});
        if (found == overflowMap.end()) break;
        const uint64_t before = known;
        for (const HfsExtent& extent : found->second.extents) {
            if (extent.blockCount == 0) break;
            resolved.extents.push_back(extent);
            known += extent.blockCount;
        }
        if (known == before) break;
    }
    if (known < fork.totalBlocks)
        resolved.problem = "file " + std::to_string(fileId) + " (" +
                           (forkType == kDataFork ? "data" : "resource") +
                           " fork): " + std::to_string(known) + " of " +
                           std::to_string(fork.totalBlocks) +
                           " blocks found; extents-overflow record for block " +
                           std::to_string(known) + " missing";
    return resolved;
}

// --- B-trees -------------------------------------------------------------------------

Result<HFSP::BTreeFile> HFSP::openBTree(const ForkData& fork, uint32_t fileId,
                                        const char* what) const {
    BTreeFile tree;
    ResolvedFork resolved = resolveFork(fileId, kDataFork, fork);
    tree.extents = std::move(resolved.extents);
    tree.logicalSize = fork.logicalSize;
    if (tree.extents.empty()) return corruptError(std::string(what) + " file has no extents");
    std::vector<uint8_t> first(kMinNodeBytes);
    if (!readFork(tree.extents, 0, first))
        return ioError(std::string(what) + " header node unreadable");
    auto header = decodeBTreeHeader(first);
    if (!header) return corruptError(std::string(what) + " " + header.error().message);
    tree.header = header.value();
    // Nodes beyond what the extents and the fork's size hold cannot be read.
    uint64_t extentBytes = 0;
    for (const HfsExtent& extent : tree.extents) extentBytes += extent.blockCount * blockSize;
    const uint64_t available = std::min(extentBytes, fork.logicalSize) / tree.header.nodeSize;
    if (tree.header.totalNodes > available)
        tree.header.totalNodes = static_cast<uint32_t>(available);
    if (tree.header.totalNodes == 0)
        return corruptError(std::string(what) + " file of " + std::to_string(fork.logicalSize) +
                            " bytes holds no whole node");

    // The header node's third record is the node map; later map nodes follow its fLink.
    tree.inUse.assign(tree.header.totalNodes, true);
    std::vector<uint8_t> node(tree.header.nodeSize);
    (void)readFork(tree.extents, 0, node);
    uint64_t mapped = 0;
    uint64_t nodeNumber = 0;
    std::unordered_set<uint64_t> visited;
    for (int guard = 0; guard < 1024; ++guard) {
        const NodeDescriptor descriptor = decodeNodeDescriptor(node);
        const auto spans = recordSpans(node, descriptor.numRecords);
        const size_t mapIndex = nodeNumber == 0 ? 2 : 0;
        if (spans.size() <= mapIndex) break;
        const RecordSpan map = spans[mapIndex];
        for (uint32_t i = 0; i < map.length && mapped < tree.inUse.size(); ++i)
            for (int bit = 7; bit >= 0 && mapped < tree.inUse.size(); --bit)
                tree.inUse[mapped++] = (node[map.offset + i] >> bit) & 1;
        nodeNumber = descriptor.fLink;
        if (nodeNumber == 0 || nodeNumber >= tree.header.totalNodes ||
            !visited.insert(nodeNumber).second || mapped >= tree.inUse.size())
            break;
        if (!readFork(tree.extents, nodeNumber * tree.header.nodeSize, node)) break;
        if (decodeNodeDescriptor(node).kind != kMapNode) break;
    }
    return tree;
}

template <class OnNode>
bool HFSP::walkNodes(const BTreeFile& tree, Progress& progress, OnNode onNode) const {
    const uint64_t nodeSize = tree.header.nodeSize;
    const uint64_t perPiece = std::max<uint64_t>(1, kReadPieceBytes / nodeSize);
    std::vector<uint8_t> piece(perPiece * nodeSize);
    progress.progressRange(0, tree.header.totalNodes);
    for (uint64_t first = 0; first < tree.header.totalNodes; first += perPiece) {
        if (!progress.checkpoint()) return false;
        progress.progressPos(first);
        const uint64_t count = std::min<uint64_t>(perPiece, tree.header.totalNodes - first);
        std::span<uint8_t> bytes(piece.data(), count * nodeSize);
        // A failed read leaves zeros, never the previous piece's nodes.
        (void)readFork(tree.extents, first * nodeSize, bytes);
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t nodeNumber = first + i;
            const uint64_t at = forkOffsetToVolume(tree.extents, nodeNumber * nodeSize).value_or(0);
            onNode(nodeNumber, std::span<const uint8_t>(bytes.subspan(i * nodeSize, nodeSize)), at);
        }
    }
    return true;
}

void HFSP::loadOverflowExtents(ParseSummary& summary, Progress& progress) {
    overflowMap.clear();
    // The extents file cannot overflow into itself: its header's eight extents are all.
    auto tree = openBTree(volumeHeader.extentsFile, kExtentsFileId, "extents-overflow");
    if (!tree) {
        // Damage here must not cost the catalog: go on without further extents.
        if (volumeHeader.extentsFile.totalBlocks != 0)
            summary.warn(tree.error().message + "; going on without extents-overflow records");
        return;
    }
    extentsNodeSize = tree.value().header.nodeSize;
    overflowTreeLoaded_ = true;
    progress.status("Reading the extents-overflow file....");
    if (!walkNodes(tree.value(), progress,
                   [&](uint64_t nodeNumber, std::span<const uint8_t> node, uint64_t at) {
                       const NodeDescriptor descriptor = decodeNodeDescriptor(node);
                       if (descriptor.kind != kLeafNode || !tree.value().inUse[nodeNumber]) return;
                       extentNodes.push_back({nodeNumber, at, descriptor.kind, descriptor.height,
                                              descriptor.numRecords, true});
                       for (const RecordSpan& span : recordSpans(node, descriptor.numRecords)) {
                           auto record =
                               decodeExtentsRecord(node.subspan(span.offset, span.length));
                           if (!record) continue;
                           const ExtentsRecord& value = record.value();
                           HfsOverflowRef ref{value.forkType, value.fileId, value.startBlock,
                                              value.extents};
                           overflowMap[{value.fileId, value.forkType, value.startBlock}] = ref;
                       }
                   }))
        summary.stopped = true;
}

// --- the catalog ---------------------------------------------------------------------

size_t HFSP::addCatalogRecord(std::span<const uint8_t> record, uint64_t nodeOffset,
                              uint32_t offsetInNode, bool deleted, bool strict,
                              ParseSummary& summary) {
    auto key = decodeCatalogKey(record);
    if (!key) {
        if (strict)
            summary.warn("catalog node at byte " + std::to_string(nodeOffset) + ", record at " +
                         std::to_string(offsetInNode) + ": " + key.error().message);
        return 0;
    }
    const CatalogKey& catalogKey = key.value();
    const size_t dataStart = size_t{catalogKey.keyLength} + 2;
    auto decoded = decodeCatalogRecord(record.subspan(dataStart));
    if (!decoded) {
        if (strict && decoded.error().kind != ErrorKind::Unsupported)
            summary.warn("catalog node at byte " + std::to_string(nodeOffset) + ", record at " +
                         std::to_string(offsetInNode) + ": " + decoded.error().message);
        return 0;
    }
    const CatalogRecord& value = decoded.value();
    if (catalogKey.name.empty()) return 0;
    // CNIDs count up from 16 to nextCatalogID (the root is 2); a wild one is damage unless
    // the volume says its IDs wrapped.
    const bool idsWrapped = (volumeHeader.attributes & 0x1000) != 0;
    const uint64_t idLimit = headerValid && !idsWrapped && volumeHeader.nextCatalogID > kFirstUserId
                                 ? volumeHeader.nextCatalogID
                                 : uint64_t{UINT32_MAX} + 1;
    if (value.id < kRootFolderId || value.id >= idLimit) {
        if (strict)
            summary.warn("catalog record \"" + hfsNameToUtf8(catalogKey.name) + "\" has ID " +
                         std::to_string(value.id) + " outside 2.." + std::to_string(idLimit - 1));
        return 0;
    }
    const size_t used =
        dataStart + (value.recordType == kFolderRecord ? kFolderRecordBytes : kFileRecordBytes);
    // The first record found for a CNID stays: the live tree is read before anything else.
    if (catalogMap.count(value.id) != 0) return used;

    HfsEntry entry;
    entry.kind = value.recordType == kFolderRecord ? 1 : 2;
    entry.parentId = catalogKey.parentId;
    entry.cnid = value.id;
    entry.name = hfsNameToUtf8(catalogKey.name);
    entry.nodeBlock = nodeOffset;
    entry.offsetInNode = offsetInNode;
    entry.createDate = value.createDate;
    entry.contentModDate = value.contentModDate;
    entry.attributeModDate = value.attributeModDate;
    entry.accessDate = value.accessDate;
    entry.fileMode = value.fileMode;
    entry.ownerFlags = value.ownerFlags;
    entry.fileType = value.fileType;
    entry.creator = value.creator;
    entry.special = value.special;
    entry.deleted = deleted;
    if (entry.kind == 2) {
        entry.size = value.dataFork.logicalSize;
        entry.totalBlocks = value.dataFork.totalBlocks;
        for (const HfsExtent& extent : value.dataFork.extents)
            if (extent.blockCount != 0) entry.extents.push_back(extent);
        entry.resourceFork = value.resourceFork;
    }
    catalogMap.emplace(entry.cnid, entries_.size());
    entries_.push_back(std::move(entry));
    if (deleted) ++summary.deletedCount;
    return used;
}

void HFSP::carveNodeSlack(std::span<const uint8_t> node, uint32_t from, uint32_t to,
                          uint64_t nodeOffset, ParseSummary& summary) {
    // A record removed from a leaf leaves its bytes behind the live ones until they are
    // overwritten. Keys start at even offsets; a leaf key is exactly 6 + 2 x name bytes.
    uint32_t at = from + (from & 1);
    while (at + 8 < to) {
        ByteReader reader(node.subspan(at, to - at));
        const uint16_t keyLength = reader.be16();
        reader.skip(4);
        const uint16_t nameLength = reader.be16();
        if (nameLength >= 1 && nameLength <= 255 && keyLength == 6 + 2 * nameLength) {
            const size_t used =
                addCatalogRecord(node.subspan(at, to - at), nodeOffset, at, true, false, summary);
            if (used > 0) {
                at += static_cast<uint32_t>(used + (used & 1));
                continue;
            }
        }
        at += 2;
    }
}

void HFSP::parseLeafNode(std::span<const uint8_t> node, const HfsNodeRef& ref, bool deleted,
                         bool carveSlack, ParseSummary& summary) {
    uint32_t freeSpace = 0;
    const auto spans = recordSpans(node, ref.numRecords, &freeSpace);
    for (const RecordSpan& span : spans)
        (void)addCatalogRecord(node.subspan(span.offset, span.length), ref.volumeOffset,
                               span.offset, deleted, !deleted, summary);
    if (carveSlack) {
        const size_t tableStart =
            node.size() - 2 * (std::min<size_t>(ref.numRecords, (node.size() - 16) / 2) + 1);
        uint32_t slackFrom = freeSpace;
        for (const RecordSpan& span : spans)
            slackFrom = std::max(slackFrom, span.offset + span.length);
        if (slackFrom < tableStart)
            carveNodeSlack(node, slackFrom, static_cast<uint32_t>(tableStart), ref.volumeOffset,
                           summary);
    }
}

bool HFSP::scanCatalogNodes(ParseSummary& summary, Progress& progress) {
    auto tree = openBTree(volumeHeader.catalogFile, kCatalogFileId, "catalog");
    if (!tree) {
        summary.warn(tree.error().message);
        return false;
    }
    const BTreeFile& catalog = tree.value();
    catalogNodeSize = catalog.header.nodeSize;
    const ResolvedFork resolved = resolveFork(kCatalogFileId, kDataFork, volumeHeader.catalogFile);
    if (!resolved.problem.empty()) summary.warn("catalog " + resolved.problem);
    progress.status("Reading the catalog....");
    std::vector<std::pair<std::vector<uint8_t>, HfsNodeRef>> staleNodes;
    const bool complete = walkNodes(
        catalog, progress, [&](uint64_t nodeNumber, std::span<const uint8_t> node, uint64_t at) {
            const NodeDescriptor descriptor = decodeNodeDescriptor(node);
            if (descriptor.kind != kLeafNode || descriptor.numRecords == 0) return;
            HfsNodeRef ref{nodeNumber,
                           at,
                           descriptor.kind,
                           descriptor.height,
                           descriptor.numRecords,
                           catalog.inUse[nodeNumber]};
            catalogNodes.push_back(ref);
            if (!ref.live) return;
            liveNodeOffsets_.insert(at);
            parseLeafNode(node, ref, false, false, summary);
        });
    summary.stopped = summary.stopped || !complete;
    return true;
}

HFSP::LeafKind HFSP::classifyLeaf(std::span<const uint8_t> node,
                                  const std::vector<RecordSpan>& spans) {
    const auto first = node.subspan(spans[0].offset, spans[0].length);
    if (auto key = decodeCatalogKey(first)) {
        ByteReader reader(first);
        reader.seek(size_t{key.value().keyLength} + 2);
        const uint16_t recordType = reader.be16();
        if (reader.ok() && recordType >= kFolderRecord && recordType <= kFileThreadRecord)
            return LeafKind::Catalog;
    }
    if (auto extents = decodeExtentsRecord(first))
        if (extents.value().forkType == kDataFork || extents.value().forkType == kResourceFork)
            return LeafKind::Extents;
    if (auto attribute = decodeAttributeRecord(first)) {
        const uint32_t type = attribute.value().recordType;
        if (type == 0x10 || type == 0x20 || type == 0x30) return LeafKind::Attributes;
    }
    return LeafKind::None;
}

void HFSP::collectScannedLeaf(std::span<const uint8_t> node, const std::vector<RecordSpan>& spans,
                              LeafKind kind) {
    for (const RecordSpan& span : spans) {
        const auto bytes = node.subspan(span.offset, span.length);
        if (kind == LeafKind::Extents) {
            auto record = decodeExtentsRecord(bytes);
            if (!record) continue;
            const ExtentsRecord& value = record.value();
            scannedOverflow_.push_back(
                {value.forkType, value.fileId, value.startBlock, value.extents});
        } else {
            auto record = decodeAttributeRecord(bytes);
            if (!record || record.value().recordType != kAttributeInlineData ||
                !decmpfsName(record.value().name) ||
                record.value().inlineData.size() > kMaxAttributeBytes)
                continue;
            const auto data = record.value().inlineData;
            scannedCompression_.emplace(record.value().fileId,
                                        std::vector<uint8_t>(data.begin(), data.end()));
        }
    }
}

bool HFSP::deepScanCatalogNodes(ParseSummary& summary, Progress& progress) {
    deepScan = true;
    const bool liveTree = !liveNodeOffsets_.empty();
    // The live tree's nodes again, this time for what is left in their slack.
    if (liveTree) {
        auto tree = openBTree(volumeHeader.catalogFile, kCatalogFileId, "catalog");
        if (tree) {
            progress.status("Reading the slack of catalog nodes....");
            if (!walkNodes(
                    tree.value(), progress,
                    [&](uint64_t, std::span<const uint8_t> node, uint64_t at) {
                        if (liveNodeOffsets_.count(at) == 0) return;
                        const NodeDescriptor descriptor = decodeNodeDescriptor(node);
                        HfsNodeRef ref{
                            0, at, descriptor.kind, descriptor.height, descriptor.numRecords, true};
                        uint32_t freeSpace = 0;
                        const auto spans = recordSpans(node, ref.numRecords, &freeSpace);
                        uint32_t slackFrom = freeSpace;
                        for (const RecordSpan& span : spans)
                            slackFrom = std::max(slackFrom, span.offset + span.length);
                        const size_t tableStart = node.size() - 2 * (spans.size() + 1);
                        if (slackFrom < tableStart)
                            carveNodeSlack(node, slackFrom, static_cast<uint32_t>(tableStart), at,
                                           summary);
                    }))
                summary.stopped = true;
        }
    }
    if (summary.stopped) return true;

    // Nodes start on node-size boundaries of the catalog file, whose extents start on
    // blocks: stepping by the smaller of the two finds every one. Without a header the
    // node size is unknown and each power of two is tried at every sector.
    std::vector<uint64_t> nodeSizes;
    if (catalogNodeSize != 0)
        nodeSizes.push_back(catalogNodeSize);
    else
        for (uint64_t size = 4096; size <= kMaxNodeBytes; size *= 2) nodeSizes.push_back(size);
    if (catalogNodeSize == 0)
        nodeSizes.push_back(2048), nodeSizes.push_back(1024), nodeSizes.push_back(512);
    uint64_t step = 512;
    if (catalogNodeSize != 0 && blockSize != 0) step = std::min(catalogNodeSize, blockSize);
    const uint64_t total = volumeBytes();
    if (total == 0) {
        progress.status("BlockSize not valid .Aborting..");
        return false;
    }
    progress.status("Scanning the volume for catalog nodes....");
    progress.progressRange(0, total / step);
    std::vector<uint8_t> chunk(kScanChunkBytes + kMaxNodeBytes);
    uint64_t skipUntil = 0;
    for (uint64_t chunkStart = 0; chunkStart < total; chunkStart += kScanChunkBytes) {
        if (!progress.checkpoint()) {
            summary.stopped = true;
            break;
        }
        progress.progressPos(chunkStart / step);
        const uint64_t length = std::min<uint64_t>(chunk.size(), total - chunkStart);
        std::span<uint8_t> bytes(chunk.data(), length);
        if (!view_.readAt(chunkStart, bytes))
            summary.warn("volume bytes " + std::to_string(chunkStart) + ".." +
                         std::to_string(chunkStart + length) + " partly unreadable; read as zeros");
        const uint64_t scanEnd = std::min<uint64_t>(kScanChunkBytes, length);
        for (uint64_t at = 0; at < scanEnd; at += step) {
            const uint64_t position = chunkStart + at;
            if (position < skipUntil) continue;
            // A leaf of height 1 with at least one record: the cheap test first.
            if (bytes[at + 8] != 0xFF || bytes[at + 9] != 1) continue;
            const uint16_t numRecords = static_cast<uint16_t>(bytes[at + 10] << 8 | bytes[at + 11]);
            if (numRecords == 0) continue;
            for (uint64_t nodeSize : nodeSizes) {
                if (at + nodeSize > length) continue;
                std::span<const uint8_t> node(bytes.data() + at, nodeSize);
                // Record 0 always starts right after the descriptor.
                if (node[nodeSize - 2] != 0 || node[nodeSize - 1] != kNodeDescriptorBytes) continue;
                if (2 * (size_t{numRecords} + 1) + kNodeDescriptorBytes > nodeSize) continue;
                const auto spans = recordSpans(node, numRecords);
                if (spans.empty()) continue;
                const LeafKind kind = classifyLeaf(node, spans);
                if (kind == LeafKind::None) continue;
                skipUntil = position + nodeSize;
                if (kind != LeafKind::Catalog) {
                    collectScannedLeaf(node, spans, kind);
                    break;
                }
                if (liveNodeOffsets_.count(position) != 0) break;
                if (catalogNodeSize == 0) catalogNodeSize = nodeSize;
                HfsNodeRef ref{position, position, kLeafNode, 1, numRecords, false};
                catalogNodes.push_back(ref);
                // Without a live tree nothing tells a stale node from a current one.
                parseLeafNode(node, ref, liveTree, true, summary);
                break;
            }
        }
    }
    return true;
}

void HFSP::loadCompressionHeaders(ParseSummary& summary, Progress& progress) {
    bool anyCompressed = false;
    for (const HfsEntry& entry : entries_)
        if (entry.kind == 2 && (entry.ownerFlags & kOwnerFlagCompressed) != 0) anyCompressed = true;
    if (!anyCompressed || !headerValid || volumeHeader.attributesFile.totalBlocks == 0) return;
    auto tree = openBTree(volumeHeader.attributesFile, kAttributesFileId, "attributes");
    if (!tree) {
        summary.warn(tree.error().message + "; compressed files cannot be read");
        return;
    }
    attributesTreeLoaded_ = true;
    progress.status("Reading the attributes file....");
    if (!walkNodes(
            tree.value(), progress,
            [&](uint64_t nodeNumber, std::span<const uint8_t> node, uint64_t) {
                const NodeDescriptor descriptor = decodeNodeDescriptor(node);
                if (descriptor.kind != kLeafNode || !tree.value().inUse[nodeNumber]) return;
                for (const RecordSpan& span : recordSpans(node, descriptor.numRecords)) {
                    auto record = decodeAttributeRecord(node.subspan(span.offset, span.length));
                    if (!record || record.value().recordType != kAttributeInlineData ||
                        !decmpfsName(record.value().name))
                        continue;
                    const auto data = record.value().inlineData;
                    if (data.size() > kMaxAttributeBytes) continue;
                    compressionHeaders_[record.value().fileId].assign(data.begin(), data.end());
                }
            }))
        summary.stopped = true;
}

void HFSP::guessBlockSize(ParseSummary& summary) {
    // With no header, a file's size over its block count bounds the block size from below;
    // the largest such power of two over all files is the likeliest.
    uint64_t guess = 0;
    for (const HfsEntry& entry : entries_) {
        if (entry.kind != 2 || entry.totalBlocks == 0 || entry.size == 0) continue;
        const uint64_t perBlock = divideRoundingUp(entry.size, entry.totalBlocks);
        uint64_t power = 512;
        while (power < perBlock && power < (uint64_t{1} << 30)) power *= 2;
        guess = std::max(guess, power);
    }
    if (guess == 0) guess = 4096;
    blockSize = guess;
    summary.warn("no volume header: allocation blocks taken as " + std::to_string(guess) +
                 " bytes from the files' sizes");
}

void HFSP::resolveHardLinks() {
    // File hard links point at "iNode<n>" in the private folder, folder links at "dir_<n>".
    for (HfsEntry& entry : entries_) {
        if (entry.kind != 2) continue;
        const bool fileLink = entry.fileType == kTypeHardLink && entry.creator == kCreatorHfsPlus;
        const bool folderLink = entry.fileType == kTypeFolderAlias && entry.creator == kCreatorMacs;
        if (!fileLink && !folderLink) continue;
        auto found = catalogMap.find(entry.special);
        if (found == catalogMap.end()) continue;
        const HfsEntry& target = entries_[found->second];
        const std::string expected = (fileLink ? "iNode" : "dir_") + std::to_string(entry.special);
        if (target.name != expected || target.kind != (fileLink ? 2 : 1)) continue;
        if (&target == &entry) continue;
        entry.linkTarget = found->second;
    }
}

void HFSP::linkEntries(Progress& progress) {
    progress.status("Maintaining Parent Child....");
    progress.progressRange(0, catalogMap.size());
    // state: 0 not seen, 1 on the current path, 2 settled under a parent or the top,
    // 3 settled as an orphan (its parent is missing, a file, or part of a loop).
    std::vector<uint8_t> state(entries_.size(), 0);
    std::vector<EntryId> orphans;
    std::vector<EntryId> path;
    auto parentOf = [&](EntryId id) -> std::optional<EntryId> {
        const HfsEntry& entry = entries_[id];
        auto found = catalogMap.find(entry.parentId);
        if (found == catalogMap.end() || found->second == id) return std::nullopt;
        if (entries_[found->second].kind != 1) return std::nullopt;
        return found->second;
    };
    for (const auto& [cnid, id] : catalogMap) {
        if (state[id] != 0) continue;
        // Climb until an entry that is settled, at the top, or seen on this climb.
        path.clear();
        EntryId at = id;
        uint8_t outcome = 2;
        while (true) {
            if (state[at] == 2 || state[at] == 3) break;
            if (state[at] == 1) {
                outcome = 3;  // a loop: the entry closing it becomes an orphan
                break;
            }
            state[at] = 1;
            path.push_back(at);
            const HfsEntry& entry = entries_[at];
            if (entry.cnid == kRootFolderId || entry.parentId == kRootFolderId) break;
            auto parent = parentOf(at);
            if (!parent) break;
            at = *parent;
        }
        // Everything on the path links to its parent, except its last entry when the climb
        // ended at a missing parent or in a loop.
        for (size_t i = 0; i < path.size(); ++i) state[path[i]] = 2;
        if (!path.empty()) {
            const EntryId last = path.back();
            const HfsEntry& entry = entries_[last];
            const bool atTop = entry.cnid == kRootFolderId || entry.parentId == kRootFolderId;
            const bool parentSettled = parentOf(last).has_value() && outcome == 2;
            if (!atTop && !parentSettled) state[last] = 3;
        }
    }
    uint64_t index = 0;
    for (const auto& [cnid, id] : catalogMap) {
        ++index;
        if (index % 4096 == 0) {
            progress.status("Maintaining Parent Child for record " + std::to_string(index) +
                            " of " + std::to_string(catalogMap.size()) + "....");
            progress.progressPos(index);
        }
        HfsEntry& entry = entries_[id];
        if (entry.cnid == kRootFolderId) continue;
        if (state[id] == 3) {
            orphans.push_back(id);
            continue;
        }
        if (entry.parentId == kRootFolderId) {
            topLevel_.push_back(id);
            continue;
        }
        const auto parentId = parentOf(id);
        if (!parentId) continue;
        HfsEntry& parent = entries_[*parentId];
        // Prepending in ascending CNID order lists each folder's children by descending CNID.
        entry.nextSibling = parent.firstChild;
        parent.firstChild = static_cast<int64_t>(id);
    }
    if (!orphans.empty()) {
        HfsEntry orphan;
        orphan.kind = 1;
        orphan.parentId = kRootFolderId;
        orphan.cnid = catalogMap.empty() ? 0 : catalogMap.rbegin()->first + 1;
        orphan.name = kHfsOrphanEntryName;
        const EntryId orphanId = entries_.size();
        for (auto it = orphans.rbegin(); it != orphans.rend(); ++it) {
            entries_[*it].nextSibling = orphan.firstChild;
            orphan.firstChild = static_cast<int64_t>(*it);
        }
        entries_.push_back(std::move(orphan));
        topLevel_.push_back(orphanId);
    }
}

// --- the parse -----------------------------------------------------------------------

Result<ParseSummary> HFSP::parse(fs::ParseMode mode, Progress& progress) {
    ParseSummary summary;
    entries_.clear();
    catalogMap.clear();
    catalogNodes.clear();
    extentNodes.clear();
    overflowMap.clear();
    compressionHeaders_.clear();
    liveNodeOffsets_.clear();
    scannedOverflow_.clear();
    scannedCompression_.clear();
    overflowTreeLoaded_ = false;
    attributesTreeLoaded_ = false;
    topLevel_.clear();
    headerValid = false;
    blockSize = 0;
    catalogNodeSize = 0;
    deepScan = false;
    const bool deep = mode != fs::ParseMode::Standard;

    if (!readVolumeHeader(summary) && !deep) {
        progress.status("Running process Aborted....");
        return corruptError(summary.warnings.empty() ? "no HFS+ volume header"
                                                     : summary.warnings.back());
    }
    bool catalogRead = false;
    if (headerValid) {
        loadOverflowExtents(summary, progress);
        if (!summary.stopped) catalogRead = scanCatalogNodes(summary, progress);
        if (!catalogRead && !deep && !summary.stopped) {
            progress.status("Running process Aborted....");
            return corruptError(summary.warnings.empty() ? "catalog unreadable"
                                                         : summary.warnings.back());
        }
    }
    if (deep && !summary.stopped) {
        if (!deepScanCatalogNodes(summary, progress)) {
            progress.status("Running process Aborted....");
            return corruptError("no catalog nodes can be searched for on an empty volume");
        }
        if (!headerValid && !entries_.empty()) guessBlockSize(summary);
    }
    if (entries_.empty() && !catalogRead && !summary.stopped) {
        progress.status("Running process Aborted....");
        return corruptError("no catalog records found");
    }
    if (!summary.stopped) loadCompressionHeaders(summary, progress);
    // Damaged volumes: what the scan found of trees that could not be read stands in for
    // them; records the trees gave are never replaced.
    if (!overflowTreeLoaded_)
        for (const HfsOverflowRef& ref : scannedOverflow_)
            overflowMap.emplace(std::make_tuple(ref.fileId, ref.forkType, ref.startBlock), ref);
    if (!attributesTreeLoaded_)
        for (auto& [fileId, header] : scannedCompression_)
            compressionHeaders_.emplace(fileId, std::move(header));
    resolveHardLinks();
    linkEntries(progress);
    addResourceSidecars();
    summary.entryCount = entries_.size();
    return summary;
}

void HFSP::addResourceSidecars() {
    // Each file's resource fork goes beside it; a compressed file's fork holds its data
    // and a hard link's belongs to its target, so neither gets one.
    const size_t count = entries_.size();
    std::unordered_map<EntryId, EntryId> topSidecars;
    for (EntryId id = 0; id < count; ++id) {
        const HfsEntry& file = entries_[id];
        if (file.kind != 2 || file.resourceFork.logicalSize == 0 ||
            file.resourceFork.logicalSize > UINT32_MAX - kAppleDoubleHeaderBytes ||
            (file.ownerFlags & kOwnerFlagCompressed) != 0 || file.linkTarget < count)
            continue;
        HfsEntry sidecar;
        sidecar.kind = 2;
        sidecar.parentId = file.parentId;
        sidecar.cnid = file.cnid;
        sidecar.name = "._" + file.name;
        sidecar.nodeBlock = file.nodeBlock;
        sidecar.offsetInNode = file.offsetInNode;
        sidecar.resourceFork = file.resourceFork;
        sidecar.createDate = file.createDate;
        sidecar.contentModDate = file.contentModDate;
        sidecar.attributeModDate = file.attributeModDate;
        sidecar.accessDate = file.accessDate;
        sidecar.fileMode = file.fileMode;
        sidecar.fileType = file.fileType;
        sidecar.creator = file.creator;
        sidecar.deleted = file.deleted;
        sidecar.resourceSidecar = true;
        const EntryId sidecarId = entries_.size();
        // Listed right after its file, in the file's own list.
        sidecar.nextSibling = entries_[id].nextSibling;
        entries_.push_back(std::move(sidecar));
        entries_[id].nextSibling = static_cast<int64_t>(sidecarId);
        topSidecars.emplace(id, sidecarId);
    }
    if (topSidecars.empty()) return;
    std::vector<EntryId> top;
    for (EntryId id : topLevel_) {
        top.push_back(id);
        if (auto found = topSidecars.find(id); found != topSidecars.end())
            top.push_back(found->second);
    }
    topLevel_ = std::move(top);
}

// --- the tree ------------------------------------------------------------------------

const HfsEntry& HFSP::dataSource(EntryId id) const {
    const HfsEntry& entry = entries_.at(id);
    if (entry.linkTarget < entries_.size()) return entries_[entry.linkTarget];
    return entry;
}

std::vector<EntryId> HFSP::children(EntryId folder) const {
    std::vector<EntryId> out;
    if (folder >= entries_.size()) return out;
    const HfsEntry& source = dataSource(folder);
    if (source.kind != 1) return out;
    // The lists were built once and are acyclic; the bound only guards our own invariant.
    for (int64_t child = source.firstChild;
         child >= 0 && static_cast<uint64_t>(child) < entries_.size() &&
         out.size() < entries_.size();
         child = entries_[static_cast<size_t>(child)].nextSibling)
        out.push_back(static_cast<EntryId>(child));
    return out;
}

bool HFSP::isFolder(EntryId id) const {
    return id < entries_.size() && dataSource(id).kind == 1;
}

bool HFSP::isDeleted(EntryId id) const {
    return id < entries_.size() && entries_[id].deleted;
}

fs::EntryFacts HFSP::facts(EntryId id) const {
    fs::EntryFacts facts;
    if (id >= entries_.size()) return facts;
    const HfsEntry& entry = entries_[id];
    const HfsEntry& source = dataSource(id);
    facts.name = entry.name;
    facts.folder = source.kind == 1;
    facts.deleted = entry.deleted;
    facts.link = !source.resourceSidecar &&
                 ((source.fileMode & 0xF000) == 0xA000 ||
                  (source.fileType == kTypeSymbolicLink && source.creator == 0x72686170));
    if (source.resourceSidecar) {
        facts.size = kAppleDoubleHeaderBytes + forkReadableBytes(source.resourceFork.logicalSize,
                                                                 source.resourceFork.totalBlocks);
    } else if (source.kind == 2) {
        facts.size = forkReadableBytes(source.size, source.totalBlocks);
        if ((source.ownerFlags & kOwnerFlagCompressed) != 0) {
            auto found = compressionHeaders_.find(source.cnid);
            if (found != compressionHeaders_.end())
                if (auto header = decodeDecmpfsHeader(found->second))
                    facts.size = header.value().uncompressedSize;
        }
    }
    facts.created = hfsDateToFileTime(source.createDate);
    facts.modified = hfsDateToFileTime(source.contentModDate);
    facts.accessed = hfsDateToFileTime(source.accessDate);
    facts.attributes = source.fileMode;
    return facts;
}

EntryDisplayText HFSP::describeHfsEntry(EntryId id) const {
    EntryDisplayText text;
    if (id >= entries_.size()) return text;
    const fs::EntryFacts entryFacts = facts(id);
    text.created = formatFileTime(entryFacts.created);
    text.accessed = formatFileTime(entryFacts.accessed);
    text.modified = formatFileTime(entryFacts.modified);
    text.attributes = formatAttributeText(AttributeFlavour::HfsPlus, entryFacts.attributes);
    return text;
}

// --- extraction ----------------------------------------------------------------------

Status HFSP::writeFork(const HfsEntry& file, uint8_t forkType, const ForkData& fork,
                       uint64_t outOffset, const FileHandle& out, Progress& progress) const {
    const ResolvedFork resolved = resolveFork(file.cnid, forkType, fork);
    std::string problem = resolved.problem;
    std::vector<uint8_t> piece(
        std::min<uint64_t>(kReadPieceBytes, std::max<uint64_t>(fork.logicalSize, 1)));
    // A logical size beyond the fork's blocks is damage: only what the blocks hold is written.
    const uint64_t total = forkReadableBytes(fork.logicalSize, fork.totalBlocks);
    if (total < fork.logicalSize && problem.empty())
        problem = "file " + std::to_string(file.cnid) + ": logical size " +
                  std::to_string(fork.logicalSize) + " exceeds its " +
                  std::to_string(fork.totalBlocks) + " blocks; " + std::to_string(total) +
                  " bytes written";
    for (uint64_t offset = 0; offset < total; offset += piece.size()) {
        if (!progress.checkpoint()) return Error{ErrorKind::Stopped, "stopped"};
        const uint64_t length = std::min<uint64_t>(piece.size(), total - offset);
        std::span<uint8_t> bytes(piece.data(), length);
        // Unreadable or unmapped bytes are written as zeros in their place, never shifted.
        if (!readFork(resolved.extents, offset, bytes) && problem.empty())
            problem = "file " + std::to_string(file.cnid) + ": bytes from " +
                      std::to_string(offset) +
                      " unreadable or outside the volume, written as zeros";
        if (auto written = out.writeAt(outOffset + offset, bytes); !written) return written.error();
    }
    if (!problem.empty()) return ioError(problem);
    return {};
}

Status HFSP::writeCompressed(const HfsEntry& file, std::span<const uint8_t> attribute,
                             const FileHandle& out, Progress& progress) const {
    auto decoded = decodeDecmpfsHeader(attribute);
    if (!decoded) return decoded.error();
    const DecmpfsHeader& header = decoded.value();
    const uint32_t type = header.compressionType;
    const uint64_t size = header.uncompressedSize;
    auto writeUnit = [&](uint64_t offset, std::span<const uint8_t> unit,
                         uint64_t expected) -> Status {
        if (unit.empty() && expected == 0) return {};
        auto plain = inflateDecmpfsUnit(unit, static_cast<size_t>(expected));
        if (!plain) return plain.error();
        if (auto written = out.writeAt(offset, plain.value()); !written) return written.error();
        if (plain.value().size() != expected)
            return corruptError("file " + std::to_string(file.cnid) + ": block at " +
                                std::to_string(offset) + " inflates to " +
                                std::to_string(plain.value().size()) + " of " +
                                std::to_string(expected) + " bytes");
        return {};
    };
    if (type == kDecmpfsStoredInline) {
        const auto plain =
            header.inlineData.first(std::min<size_t>(header.inlineData.size(), size));
        if (auto written = out.writeAt(0, plain); !written) return written.error();
        if (plain.size() != size)
            return corruptError("file " + std::to_string(file.cnid) + ": " +
                                std::to_string(plain.size()) + " of " + std::to_string(size) +
                                " stored bytes in its attribute");
        return {};
    }
    if (type == kDecmpfsZlibInline) {
        if (size > kDecmpfsBlockBytes * 16)
            return corruptError("file " + std::to_string(file.cnid) + ": inline data claims " +
                                std::to_string(size) + " bytes");
        return writeUnit(0, header.inlineData, size);
    }
    if (type != kDecmpfsZlibResource)
        return unsupportedError("file " + std::to_string(file.cnid) + " is compressed with " +
                                decmpfsKindName(type) + " (kind " + std::to_string(type) +
                                "), which is not decompressed");
    // The resource fork's block table, then each block in turn.
    const ResolvedFork resource = resolveFork(file.cnid, kResourceFork, file.resourceFork);
    const uint64_t forkBytes = file.resourceFork.logicalSize;
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(forkBytes, 4096)));
    bool readOk = readFork(resource.extents, 0, head);
    uint64_t needs = 0;
    auto table = decodeDecmpfsBlockTable(head, forkBytes, size, needs);
    if (!table && needs > head.size() && needs <= forkBytes) {
        head.resize(static_cast<size_t>(needs));
        readOk = readFork(resource.extents, 0, head) && readOk;
        table = decodeDecmpfsBlockTable(head, forkBytes, size, needs);
    }
    if (!table) return table.error();
    std::string problem = resource.problem;
    if (!readOk && problem.empty()) problem = "resource fork partly unreadable";
    std::vector<uint8_t> unit;
    uint64_t offset = 0;
    for (const DecmpfsBlock& block : table.value()) {
        if (offset >= size) break;
        if (!progress.checkpoint()) return Error{ErrorKind::Stopped, "stopped"};
        const uint64_t expected = std::min<uint64_t>(kDecmpfsBlockBytes, size - offset);
        unit.resize(block.length);
        if (!readFork(resource.extents, block.forkOffset, unit) && problem.empty())
            problem = "resource fork block at " + std::to_string(block.forkOffset) + " unreadable";
        if (auto written = writeUnit(offset, unit, expected); !written && problem.empty())
            problem = written.error().message;
        offset += expected;
    }
    // A short table is damage: what it covers is written and the rest reported, never a
    // size taken on trust.
    if (offset < size && problem.empty())
        problem = "block table covers " + std::to_string(offset) + " of " + std::to_string(size) +
                  " bytes";
    if (!problem.empty()) return corruptError("file " + std::to_string(file.cnid) + ": " + problem);
    return {};
}

Status HFSP::writeAppleDouble(const HfsEntry& file, const FileHandle& out,
                              Progress& progress) const {
    std::vector<uint8_t> header(kAppleDoubleHeaderBytes, 0);
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) header[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    };
    put32(0, 0x00051607);  // AppleDouble magic
    put32(4, 0x00020000);  // version 2
    header[25] = 2;        // two entries
    put32(26, 9);          // Finder info
    put32(30, 50);
    put32(34, 32);
    put32(38, 2);  // resource fork
    put32(42, static_cast<uint32_t>(kAppleDoubleHeaderBytes));
    put32(46, static_cast<uint32_t>(file.resourceFork.logicalSize));
    put32(50, file.fileType);
    put32(54, file.creator);
    if (auto written = out.writeAt(0, header); !written) return written.error();
    return writeFork(file, kResourceFork, file.resourceFork, kAppleDoubleHeaderBytes, out,
                     progress);
}

Status HFSP::extractHfsEntry(EntryId id, const FileHandle& out, Progress& progress) const {
    if (id >= entries_.size()) return corruptError("no entry " + std::to_string(id));
    const HfsEntry& file = dataSource(id);
    if (file.kind != 2) return corruptError("entry " + std::to_string(id) + " is a folder");
    if (file.resourceSidecar) return writeAppleDouble(file, out, progress);
    if ((file.ownerFlags & kOwnerFlagCompressed) != 0) {
        auto found = compressionHeaders_.find(file.cnid);
        if (found != compressionHeaders_.end())
            return writeCompressed(file, found->second, out, progress);
        // A flag without its attribute: the data fork is all there is.
        if (file.size == 0)
            return corruptError("file " + std::to_string(file.cnid) +
                                " is marked compressed but has no com.apple.decmpfs attribute");
    }
    ForkData fork;
    fork.logicalSize = file.size;
    fork.totalBlocks = file.totalBlocks;
    for (size_t i = 0; i < file.extents.size() && i < fork.extents.size(); ++i)
        fork.extents[i] = file.extents[i];
    return writeFork(file, kDataFork, fork, 0, out, progress);
}

namespace prendle::fs {
FileSystemType hfsPlusFileSystem() {
    FileSystemType type;
    type.name = "hfsplus";
    type.volumeKinds = {FileSystemKind::HfsPlus};
    type.modes = {ParseMode::Standard, ParseMode::Deep};
    // Extraction reads through local buffers only.
    type.parallelExtract = true;
    type.startStatus = "HFS+ partition selected....";
    type.open = [](const VolumeView& view, const VolumeInfo& volume,
                   const OpenOptions&) -> std::unique_ptr<FileSystem> {
        return std::make_unique<HFSP>(view, volume);
    };
    return type;
}
}  // namespace prendle::fs
