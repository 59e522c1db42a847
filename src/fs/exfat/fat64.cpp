#include "fs/exfat/fat64.h"

#include <algorithm>
#include <new>

#include "common/byte_reader.h"
#include "common/checked.h"

using namespace prendle;
using namespace prendle::exfat_format;
using prendle::fs::EntryId;

namespace {

std::string hexText(uint64_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + out;
}

uint64_t fileTimeOrZero(uint32_t stamp, uint8_t tenMilliseconds, uint8_t utcOffset) {
    return timestampToFileTime(stamp, tenMilliseconds, utcOffset).value_or(0);
}

std::string dosDateTimeText(uint32_t stamp) {
    return formatDosDateTime(static_cast<uint16_t>(stamp >> 16), static_cast<uint16_t>(stamp));
}

}  // namespace

struct Fat64Class::FatCursor {
    uint64_t firstEntry = ~uint64_t{0};
    std::vector<uint8_t> bytes;
};

Fat64Class::Fat64Class(const VolumeView& view, VolumeInfo volume, fs::OpenOptions options)
    : view_(view), volume_(std::move(volume)), options_(options) {}

std::unique_ptr<fs::FileSystem> Fat64Class::open(const VolumeView& view, const VolumeInfo& volume,
                                                 const fs::OpenOptions& options) {
    return std::make_unique<Fat64Class>(view, volume, options);
}

namespace prendle::fs {
FileSystemType exFatFileSystem() {
    FileSystemType type;
    type.name = "exfat";
    type.volumeKinds = {FileSystemKind::ExFat};
    // The advanced mode's FAT and heap search is still to come: it parses as Standard.
    type.modes = {ParseMode::Standard, ParseMode::Advanced};
    type.offersFormattedChoice = true;
    type.open = &Fat64Class::open;
    return type;
}
}  // namespace prendle::fs

uint32_t Fat64Class::fatValue(uint32_t cluster, FatCursor& cursor) const {
    if (cluster >= fatEntriesOnDisk_) return 0;
    if (!fat_.empty()) return cluster < fat_.size() ? fat_[cluster] : 0;
    // A FAT too large to keep: read the 64 KiB around the entry and keep it for the
    // caller's next lookups, which mostly fall close by.
    constexpr uint64_t kWindowEntries = 16384;
    const uint64_t first = cluster / kWindowEntries * kWindowEntries;
    if (cursor.firstEntry != first) {
        cursor.bytes.assign(kWindowEntries * 4, 0);
        (void)view_.readAt(fatOffset_ + first * 4, cursor.bytes);
        cursor.firstEntry = first;
    }
    return le32At(cursor.bytes, (cluster - first) * 4);
}

void Fat64Class::loadFat(fs::ParseSummary& summary) {
    const uint64_t entries = uint64_t{boot_.clusterCount} + 2;
    const uint64_t lengthEntries =
        (uint64_t{boot_.fatLengthSectors} << boot_.bytesPerSectorShift) / 4;
    fatEntriesOnDisk_ = std::min(entries, lengthEntries);
    if (fatEntriesOnDisk_ < entries)
        summary.warn("the FAT holds " + std::to_string(fatEntriesOnDisk_) + " entries for " +
                     std::to_string(entries) + " clusters; the rest read as free");
    // Nothing is kept for entries the image does not hold: a cut or hostile volume may
    // claim a FAT far larger than the image.
    const uint64_t inImage = fatOffset_ < view_.length ? (view_.length - fatOffset_) / 4 : 0;
    if (inImage < fatEntriesOnDisk_) {
        summary.warn("the FAT at byte " + std::to_string(fatOffset_) +
                     " runs past the image; its missing entries read as free");
        fatEntriesOnDisk_ = inImage;
    }
    fat_.clear();
    if (fatEntriesOnDisk_ * 4 > maxLoadedFatBytes) return;
    fat_.assign(fatEntriesOnDisk_, 0);
    std::vector<uint8_t> piece;
    bool complete = true;
    for (uint64_t entry = 0; entry < fatEntriesOnDisk_;) {
        const uint64_t count = std::min(kPieceBytes / 4, fatEntriesOnDisk_ - entry);
        piece.assign(count * 4, 0);
        if (!view_.readAt(fatOffset_ + entry * 4, piece)) complete = false;
        for (uint64_t i = 0; i < count; ++i)
            fat_[entry + i] = uint32_t{piece[i * 4]} | uint32_t{piece[i * 4 + 1]} << 8 |
                              uint32_t{piece[i * 4 + 2]} << 16 | uint32_t{piece[i * 4 + 3]} << 24;
        entry += count;
    }
    if (!complete)
        summary.warn("the FAT at byte " + std::to_string(fatOffset_) +
                     " runs past the image; its missing entries read as free");
}

std::vector<Fat64Class::ClusterRun> Fat64Class::directoryRuns(uint32_t index, bool isRoot,
                                                              fs::ParseSummary& summary) {
    const ExFatEntry& folder = entryTable[index];
    std::vector<ClusterRun> runs;
    const uint32_t start = isRoot ? boot_.rootCluster : folder.firstCluster;
    if (!isRoot && start == 0) return runs;  // an empty folder has no clusters
    const bool quiet = folder.deleted;       // a deleted folder's clusters are often reused
    const std::string where = isRoot ? std::string("root directory") : "folder " + entryPath(index);
    if (!validCluster(start)) {
        if (!quiet)
            summary.warn(where + ": first cluster " + std::to_string(start) +
                         " outside the cluster heap");
        return runs;
    }
    const uint64_t maxClusters = std::max<uint64_t>(1, kMaxDirectoryBytes / clusterBytes_);
    uint64_t wanted = maxClusters;
    if (!isRoot)
        wanted = std::clamp<uint64_t>(divideRoundingUp(folder.dataLength, clusterBytes_), 1,
                                      maxClusters);
    auto take = [&](uint32_t cluster) {
        if (clusterOffset(cluster) >= view_.length) {
            if (!quiet)
                summary.warn(where + ": cluster " + std::to_string(cluster) +
                             " lies beyond the image");
            return false;
        }
        if (!walkedClusters_.insert(cluster).second) {
            if (!quiet)
                summary.warn(where + ": cluster " + std::to_string(cluster) +
                             " was walked before; the rest of the directory is skipped");
            return false;
        }
        if (!runs.empty() && runs.back().first + runs.back().count == cluster)
            ++runs.back().count;
        else
            runs.push_back({cluster, 1});
        return true;
    };

    const bool contiguous =
        !isRoot && ((folder.streamFlags & kFlagNoFatChain) != 0 || options_.driveFormatted);
    if (contiguous) {
        // Windows writes folders this way: the clusters follow one another and the FAT
        // holds nothing for them, so the data length says how far the folder runs.
        for (uint64_t i = 0; i < wanted; ++i) {
            const uint64_t cluster = uint64_t{start} + i;
            if (!validCluster(cluster)) {
                if (!quiet) summary.warn(where + ": runs past the end of the cluster heap");
                break;
            }
            if (!take(static_cast<uint32_t>(cluster))) break;
        }
        return runs;
    }
    if (options_.driveFormatted) {
        (void)take(start);  // a formatted drive's FAT says nothing of the old folders
        return runs;
    }
    FatCursor cursor;
    uint32_t cluster = start;
    for (uint64_t taken = 0; taken < wanted; ++taken) {
        if (!take(cluster)) break;
        const uint32_t next = fatValue(cluster, cursor);
        if (next > kBadCluster) break;  // end of chain
        if (!validCluster(next)) {
            if (!quiet && taken + 1 < wanted)
                summary.warn(where + ": FAT entry of cluster " + std::to_string(cluster) + " is " +
                             hexText(next) + "; the directory ends there");
            break;
        }
        cluster = next;
    }
    return runs;
}

void Fat64Class::appendEntry(const EntrySet& set, uint32_t parent, uint64_t setOffset) {
    ExFatEntry entry;
    entry.entryType = set.entryType;
    entry.attributes = set.attributes;
    entry.createStamp = set.createStamp;
    entry.modifyStamp = set.modifyStamp;
    entry.accessStamp = set.accessStamp;
    entry.create10ms = set.create10ms;
    entry.modify10ms = set.modify10ms;
    entry.createUtcOffset = set.createUtcOffset;
    entry.modifyUtcOffset = set.modifyUtcOffset;
    entry.accessUtcOffset = set.accessUtcOffset;
    entry.streamType = set.streamType;
    entry.streamFlags = set.streamFlags;
    entry.nameLength = set.nameLength;
    entry.validDataLength = set.validDataLength;
    entry.firstCluster = set.firstCluster;
    entry.dataLength = set.dataLength;
    entry.name = set.name;
    entry.checksumHolds = set.checksumHolds;
    entry.setOffset = setOffset;
    entry.parentIndex = parent;
    entry.selfIndex = static_cast<uint32_t>(entryTable.size());
    entry.deleted = set.entryType == kTypeFileDeleted || entryTable[parent].deleted;
    const uint32_t self = entry.selfIndex;
    entryTable.push_back(std::move(entry));
    ExFatEntry& folder = entryTable[parent];
    if (folder.firstChild == ExFatEntry::kNoExFatEntry)
        folder.firstChild = self;
    else
        entryTable[folder.lastChild].nextSibling = self;
    folder.lastChild = self;
}

bool Fat64Class::walkDirectory(uint32_t index, bool isRoot, std::vector<uint32_t>& liveFolders,
                               std::vector<uint32_t>& deletedFolders, Progress& progress,
                               fs::ParseSummary& summary) {
    const std::vector<ClusterRun> runs = directoryRuns(index, isRoot, summary);
    if (isRoot && runs.empty()) rootUnreadable_ = true;
    const uint64_t clustersPerPiece = std::max<uint64_t>(1, kPieceBytes / clusterBytes_);
    std::vector<uint8_t> buffer;      // a set cut by the previous piece, then this piece
    uint64_t bufferVolumeOffset = 0;  // of buffer[0], for messages; exact within a run
    for (size_t runIndex = 0; runIndex < runs.size(); ++runIndex) {
        const ClusterRun& run = runs[runIndex];
        for (uint64_t done = 0; done < run.count;) {
            if (!progress.checkpoint()) return false;
            const uint64_t count = std::min<uint64_t>(clustersPerPiece, run.count - done);
            const uint32_t cluster = static_cast<uint32_t>(run.first + done);
            const size_t kept = buffer.size();
            if (kept == 0) bufferVolumeOffset = clusterOffset(cluster);
            buffer.resize(kept + count * clusterBytes_);
            // A piece that runs past the image is decoded as far as it was read (the
            // rest reads as zeros, which end nothing) and the directory ends with it.
            const bool readWhole =
                view_.readAt(clusterOffset(cluster), std::span<uint8_t>(buffer).subspan(kept));
            if (!readWhole) {
                if (isRoot && runIndex == 0 && done == 0) rootUnreadable_ = true;
                summary.warn(
                    (isRoot ? std::string("root directory") : "folder " + entryPath(index)) +
                    ": cluster " + std::to_string(cluster) + " lies beyond the image");
            }
            done += count;
            const bool last = !readWhole || (runIndex + 1 == runs.size() && done == run.count);
            size_t position = 0;
            while (buffer.size() - position >= kSlotBytes) {
                const uint8_t type = buffer[position];
                if (type != kTypeFile && type != kTypeFileDeleted) {
                    position += kSlotBytes;
                    continue;
                }
                DecodedSet decoded = decodeEntrySet(buffer, position);
                if (decoded.verdict == SetVerdict::NeedMoreBytes && !last) break;
                if (decoded.verdict != SetVerdict::Accepted) {
                    if (type == kTypeFile) {
                        if (rejectedLiveSets_++ < 20)
                            summary.warn("set at byte " +
                                         std::to_string(bufferVolumeOffset + position) +
                                         " skipped: " +
                                         (decoded.reason.empty() ? "cut off by the directory's end"
                                                                 : decoded.reason));
                    } else {
                        ++rejectedDeletedSets_;
                    }
                    position += kSlotBytes;
                    continue;
                }
                if (entryTable.size() >= kMaxEntries) {
                    if (!entryLimitReached_)
                        summary.warn("more than " + std::to_string(kMaxEntries) +
                                     " entries; the walk stops here");
                    entryLimitReached_ = true;
                    return true;
                }
                appendEntry(decoded.set, index, bufferVolumeOffset + position);
                const ExFatEntry& added = entryTable.back();
                if (added.isFolder())
                    (added.deleted ? deletedFolders : liveFolders).push_back(added.selfIndex);
                position += decoded.slotCount * kSlotBytes;
            }
            if (!readWhole) return true;
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(position));
            bufferVolumeOffset += position;
            // The next run starts elsewhere on the disk; a kept set still continues there.
            if (done == run.count && runIndex + 1 < runs.size() && !buffer.empty())
                bufferVolumeOffset = clusterOffset(runs[runIndex + 1].first) - buffer.size();
        }
    }
    return true;
}

std::string Fat64Class::entryPath(uint32_t index) const {
    std::vector<uint32_t> chain;
    for (uint32_t at = index; at != 0 && at < entryTable.size() && chain.size() < 256;
         at = entryTable[at].parentIndex)
        chain.push_back(at);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += "/" + entryTable[*it].name;
    return path.empty() ? "/" : path;
}

Result<fs::ParseSummary> Fat64Class::parse(fs::ParseMode, Progress& progress) {
    // The advanced mode's FAT and heap search is not built yet: every mode walks the tree
    // the boot sector describes.
    entryTable.clear();
    walkedClusters_.clear();
    fat_.clear();
    rejectedLiveSets_ = 0;
    rejectedDeletedSets_ = 0;
    entryLimitReached_ = false;
    rootUnreadable_ = false;
    fs::ParseSummary summary;

    std::vector<uint8_t> sector(512);
    if (!view_.readAt(0, sector))
        return ioError("cant read file: the volume's boot sector lies beyond the image");
    auto boot = decodeBootSector(sector);
    if (!boot) return boot.error();
    boot_ = boot.value();
    clusterBytes_ = boot_.clusterBytes();
    heapOffset_ = boot_.heapOffsetBytes();
    fatOffset_ = boot_.activeFatOffsetBytes();

    progress.status("processing file and directory entries...");
    loadFat(summary);
    try {
        progress.status("Finding Fat64 File And Directory entries recursively....");
        ExFatEntry root;
        root.entryType = kTypeFile;
        root.attributes = kAttributeDirectory;
        root.firstCluster = boot_.rootCluster;
        entryTable.push_back(root);

        std::vector<uint32_t> liveFolders;
        std::vector<uint32_t> deletedFolders;
        bool going = walkDirectory(0, true, liveFolders, deletedFolders, progress, summary);
        if (rootUnreadable_)
            return corruptError("error...: the root directory at cluster " +
                                std::to_string(boot_.rootCluster) + " lies beyond the image");
        progress.progressRange(0, 1000);
        // Live folders first, so that a deleted folder whose clusters were reused never
        // takes them from the live folder that owns them now.
        for (int phase = 0; phase < 2 && going; ++phase) {
            std::vector<uint32_t>& queue = phase == 0 ? liveFolders : deletedFolders;
            while (!queue.empty() && going && !entryLimitReached_) {
                const uint32_t folder = queue.back();
                queue.pop_back();
                going =
                    walkDirectory(folder, false, liveFolders, deletedFolders, progress, summary);
                progress.progressPos(std::min<uint64_t>(
                    999, walkedClusters_.size() * 1000 / (uint64_t{boot_.clusterCount} + 1)));
            }
        }
        progress.status("creating tree Structure...");
        summary.stopped = !going;
    } catch (const std::bad_alloc&) {
        return ioError("error...: out of memory after " + std::to_string(entryTable.size()) +
                       " entries");
    }
    if (rejectedDeletedSets_ > 0)
        summary.warn(std::to_string(rejectedDeletedSets_) +
                     " deleted entry sets failed their checksum or structure and were skipped");
    uint64_t badChecksums = 0;
    for (size_t i = 1; i < entryTable.size(); ++i)
        if (!entryTable[i].checksumHolds) ++badChecksums;
    if (badChecksums > 0)
        summary.warn(std::to_string(badChecksums) +
                     " live entry sets were kept although their checksum fails");
    if (rejectedLiveSets_ > 20)
        summary.warn(std::to_string(rejectedLiveSets_ - 20) + " further sets were skipped");
    summary.entryCount = entryTable.size() - 1;
    for (size_t i = 1; i < entryTable.size(); ++i)
        if (entryTable[i].deleted) ++summary.deletedCount;
    return summary;
}

std::vector<EntryId> Fat64Class::topLevel() const {
    return children(0);
}

std::vector<EntryId> Fat64Class::children(EntryId folder) const {
    std::vector<EntryId> out;
    if (folder >= entryTable.size()) return out;
    // Links only ever point forward, so the chain ends within the table.
    for (uint32_t at = entryTable[folder].firstChild;
         at != ExFatEntry::kNoExFatEntry && at < entryTable.size() &&
         out.size() < entryTable.size();
         at = entryTable[at].nextSibling)
        out.push_back(at);
    return out;
}

bool Fat64Class::usable(EntryId id) const {
    return id != 0 && id < entryTable.size();
}

bool Fat64Class::isFolder(EntryId id) const {
    return id < entryTable.size() && entryTable[id].isFolder();
}

bool Fat64Class::isDeleted(EntryId id) const {
    return id < entryTable.size() && entryTable[id].deleted;
}

fs::EntryFacts Fat64Class::facts(EntryId id) const {
    fs::EntryFacts out;
    if (id >= entryTable.size()) return out;
    const ExFatEntry& entry = entryTable[id];
    out.name = entry.name;
    out.folder = entry.isFolder();
    out.deleted = entry.deleted;
    out.size = out.folder ? 0 : entry.dataLength;
    out.created = fileTimeOrZero(entry.createStamp, entry.create10ms, entry.createUtcOffset);
    out.modified = fileTimeOrZero(entry.modifyStamp, entry.modify10ms, entry.modifyUtcOffset);
    out.accessed = fileTimeOrZero(entry.accessStamp, 0, entry.accessUtcOffset);
    out.attributes = entry.attributes;
    return out;
}

EntryDisplayText Fat64Class::displayText(EntryId id) const {
    EntryDisplayText out;
    if (id >= entryTable.size()) return out;
    const ExFatEntry& entry = entryTable[id];
    out.created = dosDateTimeText(entry.createStamp);
    out.accessed = dosDateTimeText(entry.accessStamp);
    out.modified = dosDateTimeText(entry.modifyStamp);
    out.attributes = formatAttributeText(AttributeFlavour::Fat, entry.attributes & 0xFF);
    return out;
}

std::string Fat64Class::sizeText(EntryId id) const {
    // The list shows the valid data length, the bytes the file really holds.
    if (id >= entryTable.size()) return formatSizeText(0);
    const ExFatEntry& entry = entryTable[id];
    return formatSizeText(
        static_cast<int64_t>(std::min(entry.validDataLength, entry.dataLength) & INT64_MAX));
}

Status Fat64Class::extract(EntryId id, const FileHandle& out, Progress& progress) {
    if (!usable(id)) return corruptError("no entry " + std::to_string(id));
    const ExFatEntry& entry = entryTable[id];
    if (entry.isFolder()) return unsupportedError(entry.name + " is a folder");
    if (clusterBytes_ == 0) return unsupportedError("the volume has not been parsed");
    const uint64_t size = entry.dataLength;
    // Bytes past the valid data length were never written: they read as zeros.
    const uint64_t valid = std::min(entry.validDataLength, size);
    const uint64_t needed = divideRoundingUp(valid, clusterBytes_);
    const std::string what = entryPath(static_cast<uint32_t>(id));
    // No file outgrows the cluster heap, zeros past the valid length included.
    if (divideRoundingUp(size, clusterBytes_) > boot_.clusterCount)
        return corruptError(what + ": data length " + std::to_string(size) +
                            " is larger than the cluster heap");
    if (needed > 0 && !validCluster(entry.firstCluster))
        return corruptError(what + ": first cluster " + std::to_string(entry.firstCluster) +
                            " outside clusters 2 to " +
                            std::to_string(uint64_t{boot_.clusterCount} + 1));

    const uint64_t clustersPerPiece = std::max<uint64_t>(1, kPieceBytes / clusterBytes_);
    std::vector<uint8_t> buffer;
    uint64_t written = 0;
    // Writes the clusters [first, first + count) as the next part of the file.
    auto writeRun = [&](uint32_t first, uint64_t count) -> Status {
        for (uint64_t done = 0; done < count;) {
            if (!progress.checkpoint()) return Error{ErrorKind::Stopped, "stopped"};
            const uint64_t bytes = std::min({clustersPerPiece * clusterBytes_,
                                             (count - done) * clusterBytes_, valid - written});
            if (bytes == 0) break;
            buffer.resize(bytes);
            const uint64_t offset = clusterOffset(static_cast<uint32_t>(first + done));
            if (!view_.readAt(offset, buffer))
                return ioError(what + ": cluster " + std::to_string(first + done) + " at byte " +
                               std::to_string(offset) + " lies beyond the image");
            if (auto status = out.writeAt(written, buffer); !status) return status;
            written += bytes;
            done += divideRoundingUp(bytes, clusterBytes_);
        }
        return {};
    };

    const bool contiguous = (entry.streamFlags & kFlagNoFatChain) != 0 || options_.driveFormatted;
    if (needed > 0 && contiguous) {
        const uint64_t inHeap =
            std::min<uint64_t>(needed, uint64_t{boot_.clusterCount} + 2 - entry.firstCluster);
        if (auto status = writeRun(entry.firstCluster, inHeap); !status) return status;
        if (inHeap < needed)
            return corruptError(what + ": runs past the end of the cluster heap after " +
                                std::to_string(inHeap) + " of " + std::to_string(needed) +
                                " clusters");
    } else if (needed > 0) {
        FatCursor cursor;
        uint32_t runFirst = entry.firstCluster;
        uint64_t runCount = 1;
        uint64_t chained = 1;
        uint32_t cluster = entry.firstCluster;
        // The chain is followed for as many clusters as the data needs and no further, so a
        // looped chain ends too.
        while (chained < needed) {
            const uint32_t next = fatValue(cluster, cursor);
            if (!validCluster(next)) break;
            ++chained;
            if (next == runFirst + runCount) {
                ++runCount;
            } else {
                if (auto status = writeRun(runFirst, runCount); !status) return status;
                runFirst = next;
                runCount = 1;
            }
            cluster = next;
        }
        if (auto status = writeRun(runFirst, runCount); !status) return status;
        if (chained < needed)
            return corruptError(what + ": FAT chain ends after " + std::to_string(chained) +
                                " of " + std::to_string(needed) + " clusters (entry of cluster " +
                                std::to_string(cluster) + " is " +
                                hexText(fatValue(cluster, cursor)) + ")");
    }
    if (size > written)
        if (auto status = out.truncate(size); !status) return status;
    return {};
}
