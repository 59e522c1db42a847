#include "fs/fat/fat_file_system.h"

#include <algorithm>
#include <cstdio>

#include "common/checked.h"
#include "fs/common/display_format.h"

namespace prendle::fat {

using namespace fat_format;

namespace {

constexpr uint64_t kReadPieceBytes = uint64_t{1} << 20;
// Windows and Linux write at most 20 pieces: 255 UTF-16 units.
constexpr size_t kMaxLongNamePieces = 20;
// Live clusters a deleted file's guessed run may step over before the guess gives up.
constexpr uint64_t kMaxSkipped = 65536;

bool isShortNameByteAllowed(uint8_t byte) {
    if (byte < 0x20) return false;
    static constexpr char kForbidden[] = "\"*+,/:;<=>?[\\]|";
    for (const char c : std::string_view(kForbidden))
        if (byte == static_cast<uint8_t>(c)) return false;
    return true;
}

// Slots behind the end of a directory and in reused clusters hold leftovers; a short
// entry whose name or reserved bits could never have been written is not taken as one.
bool isPlausibleShortSlot(const ShortSlot& slot) {
    if ((slot.attributes & 0xC0) != 0) return false;
    if (slot.nameBytes[0] == ' ') return false;
    for (size_t i = 1; i < 11; ++i)
        if (!isShortNameByteAllowed(slot.nameBytes[i])) return false;
    return true;
}

std::span<const uint8_t, kSlotBytes> slotAt(std::span<const uint8_t> bytes, size_t offset) {
    return bytes.subspan(offset).first<kSlotBytes>();
}

// The long name of the pieces just before a short slot (pending holds their offsets in
// disk order, the name's last piece first). Live pieces must count down to 1 and carry the
// short name's checksum; deleted ones lost their sequence byte, so the checksum (under
// any first letter) and the name's terminator bound them.
std::string longNameFor(std::span<const uint8_t> bytes, const std::vector<size_t>& pending,
                        const ShortSlot& shortSlot, bool deleted) {
    std::vector<uint16_t> units;
    if (!deleted) {
        const uint8_t checksum = shortNameChecksum(shortSlot.nameBytes);
        uint8_t expected = 1;
        for (size_t i = pending.size(); i-- > 0; ++expected) {
            auto slot = slotAt(bytes, pending[i]);
            if (slot[0] == kDeletedMark || (slot[0] & 0x1F) != expected || slot[13] != checksum)
                return {};
            auto piece = longNamePiece(slot);
            units.insert(units.end(), piece.begin(), piece.end());
            if ((slot[0] & 0x40) != 0) return utf16UnitsToUtf8(units);
        }
        return {};
    }
    bool checksums[256] = {};
    uint8_t nameBytes[11];
    std::copy(std::begin(shortSlot.nameBytes), std::end(shortSlot.nameBytes), nameBytes);
    for (int first = 0; first < 256; ++first) {
        nameBytes[0] = static_cast<uint8_t>(first);
        checksums[shortNameChecksum(nameBytes)] = true;
    }
    int checksum = -1;
    for (size_t i = pending.size(); i-- > 0;) {
        auto slot = slotAt(bytes, pending[i]);
        if (slot[0] != kDeletedMark || !checksums[slot[13]]) break;
        if (checksum >= 0 && slot[13] != checksum) break;
        checksum = slot[13];
        auto piece = longNamePiece(slot);
        units.insert(units.end(), piece.begin(), piece.end());
        if (piece.size() < 13) break;  // the piece holding the name's end
    }
    return utf16UnitsToUtf8(units);
}

const char* fatName(bool fat32Class) {
    return fat32Class ? "Fat32" : "Fat16";
}

}  // namespace

FatVolume::FatVolume(const VolumeView& view, const fs::OpenOptions& options, bool fat32Class)
    : view_(view), options_(options), fat32Class_(fat32Class) {}

Status FatVolume::loadFat() {
    // Entries 0 .. lastCluster at the width, never more than the FAT holds.
    const uint64_t entries = uint64_t{boot.lastCluster()} + 1;
    uint64_t wanted = boot.width == FatWidth::Fat12   ? divideRoundingUp(entries * 3, 2)
                      : boot.width == FatWidth::Fat16 ? entries * 2
                                                      : entries * 4;
    wanted = std::min(wanted, boot.fatBytes);
    if (boot.fatOffset >= view_.length)
        return corruptError("the FAT at byte " + std::to_string(boot.fatOffset) +
                            " lies past the disk's end");
    // A FAT cut off by the end of the image is read as far as it goes.
    wanted = std::min(wanted, view_.length - boot.fatOffset);
    std::vector<uint8_t> bytes(static_cast<size_t>(wanted));
    for (uint64_t done = 0; done < wanted; done += kReadPieceBytes) {
        const uint64_t piece = std::min(kReadPieceBytes, wanted - done);
        (void)view_.readAt(boot.fatOffset + done,
                           std::span<uint8_t>(bytes).subspan(static_cast<size_t>(done),
                                                             static_cast<size_t>(piece)));
    }
    fatTable = FatTable(boot.width, std::move(bytes), boot.lastCluster());
    return {};
}

std::vector<uint8_t> FatVolume::readClusters(const std::vector<uint32_t>& clusters) {
    std::vector<uint8_t> out(clusters.size() * static_cast<size_t>(boot.clusterBytes));
    size_t i = 0;
    while (i < clusters.size()) {
        size_t run = 1;
        while (i + run < clusters.size() && clusters[i + run] == clusters[i] + run &&
               run * boot.clusterBytes < kReadPieceBytes)
            ++run;
        (void)view_.readAt(
            boot.clusterOffset(clusters[i]),
            std::span<uint8_t>(out).subspan(i * boot.clusterBytes, run * boot.clusterBytes));
        i += run;
    }
    return out;
}

void FatVolume::walkDirectory(uint32_t folderIndex, std::span<const uint8_t> bytes,
                              uint64_t firstOffset, const std::vector<uint32_t>& clusters,
                              bool isRoot, uint32_t depth, std::vector<Pending>& work,
                              fs::ParseSummary& summary) {
    const bool folderDeleted = entryTable[folderIndex].deleted != 0;
    // A subdirectory's first slot is its "." entry; without it the cluster was reused.
    if (!isRoot && (bytes.size() < kSlotBytes || bytes[0] != '.')) {
        if (!folderDeleted)
            summary.warn("folder \"" + entryTable[folderIndex].name +
                         "\" does not start with a \".\" entry; its contents are skipped");
        return;
    }
    const auto volumeOffset = [&](size_t offset) -> uint64_t {
        if (clusters.empty()) return firstOffset + offset;
        return boot.clusterOffset(clusters[offset / boot.clusterBytes]) +
               offset % boot.clusterBytes;
    };
    std::vector<size_t> pending;
    for (size_t offset = 0; offset + kSlotBytes <= bytes.size(); offset += kSlotBytes) {
        auto slot = slotAt(bytes, offset);
        const uint8_t first = slot[0];
        const uint8_t attributes = slot[11];
        // Slots behind the end mark are read too: deleted entries may lie there.
        if (first == 0) {
            pending.clear();
            continue;
        }
        if ((attributes & 0x3F) == kLongNameAttributes) {
            pending.push_back(offset);
            if (pending.size() > kMaxLongNamePieces) pending.erase(pending.begin());
            continue;
        }
        if (first == '.' || (attributes & kVolumeLabel) != 0) {
            pending.clear();
            continue;
        }
        const ShortSlot shortSlot = decodeShortSlot(slot);
        if (!isPlausibleShortSlot(shortSlot)) {
            pending.clear();
            continue;
        }
        const bool deleted = first == kDeletedMark;
        FatEntry entry;
        entry.attributes = shortSlot.attributes;
        entry.createTenths = shortSlot.createTenths;
        entry.createTime = shortSlot.createTime;
        entry.createDate = shortSlot.createDate;
        entry.accessDate = shortSlot.accessDate;
        entry.clusterHigh = boot.width == FatWidth::Fat32 ? shortSlot.clusterHigh : 0;
        entry.writeTime = shortSlot.writeTime;
        entry.writeDate = shortSlot.writeDate;
        entry.clusterLow = shortSlot.clusterLow;
        entry.size = shortSlot.size;
        entry.deleted = deleted || folderDeleted ? 1 : 0;
        entry.name =
            pending.empty() ? std::string() : longNameFor(bytes, pending, shortSlot, deleted);
        if (entry.name.empty()) entry.name = shortNameText(shortSlot, deleted);
        entry.parentIndex = folderIndex;
        entry.selfIndex = static_cast<uint32_t>(entryTable.size());
        entry.slotOffset = volumeOffset(offset);
        pending.clear();
        if (entry.isFolder()) {
            if (depth + 1 < kMaxDepth)
                work.push_back({entry.selfIndex, depth + 1});
            else
                summary.warn("folder \"" + entry.name + "\" lies deeper than " +
                             std::to_string(kMaxDepth) + " levels; its contents are skipped");
        }
        entryTable.push_back(std::move(entry));
    }
}

Result<fs::ParseSummary> FatVolume::parse(fs::ParseMode, Progress& progress) {
    const Error refused{ErrorKind::Unsupported, std::string("Selected Drive is not in ") +
                                                    fatName(fat32Class_) + " Format"};
    std::vector<uint8_t> sector(512);
    if (!view_.readAt(0, sector)) return refused;
    auto decoded = decodeBootSector(sector);
    if (!decoded) return refused;
    boot = decoded.value();
    if ((boot.width == FatWidth::Fat32) != fat32Class_) return refused;
    if (Status loaded = loadFat(); !loaded) return loaded.error();

    fs::ParseSummary summary;
    entryTable.clear();
    walkedDirectoryCluster_.assign(size_t{boot.lastCluster()} + 1, false);
    progress.status(std::string("Finding ") + fatName(fat32Class_) +
                    " File And Directory entries recursively....");

    FatEntry root;
    root.name = "DUMMY ENTRY";
    root.attributes = kDirectory;
    entryTable.push_back(root);

    const uint64_t maxDirectoryClusters =
        std::max<uint64_t>(1, kMaxDirectoryBytes / boot.clusterBytes);
    std::vector<Pending> work;
    if (boot.width == FatWidth::Fat32) {
        bool looped = false;
        auto chain = followChain(fatTable, boot.rootCluster, maxDirectoryClusters, &looped);
        if (looped) summary.warn("the root folder's cluster chain loops; it ends at the loop");
        for (uint32_t cluster : chain) walkedDirectoryCluster_[cluster] = true;
        auto bytes = readClusters(chain);
        walkDirectory(0, bytes, 0, chain, true, 0, work, summary);
    } else {
        std::vector<uint8_t> bytes(static_cast<size_t>(boot.rootDirectoryBytes));
        if (!view_.readAt(boot.rootDirectoryOffset, bytes))
            summary.warn("the root folder runs past the disk's end");
        walkDirectory(0, bytes, boot.rootDirectoryOffset, {}, true, 0, work, summary);
    }

    // Depth first with an explicit stack; each directory cluster is walked once, which
    // ends cycles and keeps the walk linear. Live folders go first, so that a deleted slot
    // pointing at a live folder's cluster never takes its children.
    std::vector<Pending> deferred;
    const auto queue = [&](std::vector<Pending>& found) {
        for (auto it = found.rbegin(); it != found.rend(); ++it)
            (entryTable[it->index].deleted != 0 ? deferred : work).push_back(*it);
        found.clear();
    };
    std::vector<Pending> found;
    found.swap(work);
    queue(found);
    while (!work.empty() || !deferred.empty()) {
        if (!progress.checkpoint()) {
            summary.stopped = true;
            break;
        }
        std::vector<Pending>& from = work.empty() ? deferred : work;
        const Pending folder = from.back();
        from.pop_back();
        const FatEntry& entry = entryTable[folder.index];
        const uint32_t first = entry.firstCluster();
        if (!fatTable.inRange(first)) {
            if (first != 0 || entry.deleted == 0)
                summary.warn("folder \"" + entry.name + "\" starts at cluster " +
                             std::to_string(first) + ", outside 2.." +
                             std::to_string(boot.lastCluster()));
            continue;
        }
        std::vector<uint32_t> chain;
        // A deleted folder's chain is gone from the FAT: its first cluster is what is left.
        if (entry.deleted != 0 || options_.driveFormatted || fatTable.isFree(first)) {
            chain.push_back(first);
        } else {
            bool looped = false;
            chain = followChain(fatTable, first, maxDirectoryClusters, &looped);
            if (looped) summary.warn("folder \"" + entry.name + "\": its cluster chain loops");
            if (chain.size() == maxDirectoryClusters)
                summary.warn("folder \"" + entry.name + "\" is read up to its first " +
                             std::to_string(kMaxDirectoryBytes) + " bytes");
        }
        size_t fresh = 0;
        while (fresh < chain.size() && !walkedDirectoryCluster_[chain[fresh]]) ++fresh;
        chain.resize(fresh);
        if (chain.empty()) continue;  // another folder's cluster: keep the entry, walk once
        for (uint32_t cluster : chain) walkedDirectoryCluster_[cluster] = true;
        const auto bytes = readClusters(chain);
        walkDirectory(folder.index, bytes, 0, chain, false, folder.depth, found, summary);
        queue(found);
    }

    progress.status("maintaining tree Structure in vector...");
    linkEntries(progress);
    progress.status("Creating Tree Structure....");
    for (fs::EntryId id : topLevel()) {
        char text[64];
        std::snprintf(text, sizeof text, "filling entry =%llu in tree ",
                      static_cast<unsigned long long>(id));
        progress.status(text);
    }
    progress.status("Tree Structure Created.");

    summary.entryCount = entryTable.size() - 1;
    summary.deletedCount = static_cast<uint64_t>(std::count_if(
        entryTable.begin() + 1, entryTable.end(), [](const FatEntry& e) { return e.deleted; }));
    return summary;
}

void FatVolume::linkEntries(Progress& progress) {
    progress.progressRange(0, 1000);
    std::vector<uint32_t> lastChild(entryTable.size(), FatEntry::kNone);
    const size_t count = entryTable.size();
    for (size_t h = 1; h < count; ++h) {
        FatEntry& entry = entryTable[h];
        const uint32_t parent = entry.parentIndex;
        if (parent >= count || parent == h) continue;
        if (lastChild[parent] == FatEntry::kNone)
            entryTable[parent].firstChild = static_cast<uint32_t>(h);
        else
            entryTable[lastChild[parent]].nextSibling = static_cast<uint32_t>(h);
        lastChild[parent] = static_cast<uint32_t>(h);
        if (h % 4096 == 0) progress.progressPos(h * 1000 / count);
    }
    progress.progressPos(1000);
}

std::vector<fs::EntryId> FatVolume::children(fs::EntryId folder) const {
    std::vector<fs::EntryId> out;
    if (folder >= entryTable.size()) return out;
    for (uint32_t child = entryTable[folder].firstChild; child < entryTable.size();
         child = entryTable[child].nextSibling)
        out.push_back(child);
    return out;
}

bool FatVolume::isFolder(fs::EntryId id) const {
    return id < entryTable.size() && entryTable[id].isFolder();
}

bool FatVolume::isDeleted(fs::EntryId id) const {
    return id < entryTable.size() && entryTable[id].deleted != 0;
}

fs::EntryFacts FatVolume::facts(fs::EntryId id) const {
    fs::EntryFacts out;
    if (id >= entryTable.size()) return out;
    const FatEntry& entry = entryTable[id];
    out.name = entry.name;
    out.folder = entry.isFolder();
    out.deleted = entry.deleted != 0;
    out.size = out.folder ? 0 : entry.size;
    out.created = dosTimeToFileTime(entry.createDate, entry.createTime, entry.createTenths);
    out.modified = dosTimeToFileTime(entry.writeDate, entry.writeTime);
    out.accessed = dosTimeToFileTime(entry.accessDate, 0);
    out.attributes = entry.attributes;
    return out;
}

EntryDisplayText FatVolume::displayText(fs::EntryId id) const {
    EntryDisplayText out;
    if (id >= entryTable.size()) return out;
    const FatEntry& entry = entryTable[id];
    out.created = formatDosDateTime(entry.createDate, entry.createTime);
    out.accessed = formatDosDate(entry.accessDate);
    out.modified = formatDosDateTime(entry.writeDate, entry.writeTime);
    out.attributes = formatAttributeText(AttributeFlavour::Fat, entry.attributes);
    return out;
}

Result<std::vector<uint32_t>> FatVolume::dataClusters(const FatEntry& entry) const {
    std::vector<uint32_t> clusters;
    if (entry.size == 0) return clusters;
    const uint64_t needed = divideRoundingUp(entry.size, boot.clusterBytes);
    const uint32_t first = entry.firstCluster();
    if (!fatTable.inRange(first))
        return corruptError("\"" + entry.name + "\" starts at cluster " + std::to_string(first) +
                            ", outside 2.." + std::to_string(boot.lastCluster()));
    if (options_.driveFormatted) {
        // The FAT was rewritten by a format: the file is taken as contiguous.
        const uint64_t available = uint64_t{boot.lastCluster()} - first + 1;
        for (uint64_t i = 0; i < std::min(needed, available); ++i)
            clusters.push_back(static_cast<uint32_t>(first + i));
    } else if (entry.deleted == 0) {
        bool looped = false;
        clusters = followChain(fatTable, first, needed, &looped);
        if (looped)
            return corruptError("\"" + entry.name + "\": its cluster chain loops after " +
                                std::to_string(clusters.size()) + " clusters");
    } else {
        // A deleted file's chain is freed: the usual best guess is the free clusters that
        // follow its first one, skipping those live files hold now.
        if (!fatTable.isFree(first))
            return corruptError("the first cluster " + std::to_string(first) + " of deleted \"" +
                                entry.name + "\" belongs to a live file now");
        // Skipping is bounded, so that a nearly full volume is not scanned to its end for
        // every deleted file.
        uint64_t skipped = 0;
        for (uint32_t cluster = first;
             clusters.size() < needed && cluster <= boot.lastCluster() && skipped <= kMaxSkipped;
             ++cluster) {
            if (fatTable.isFree(cluster))
                clusters.push_back(cluster);
            else
                ++skipped;
        }
    }
    return clusters;
}

Status FatVolume::extract(fs::EntryId id, const FileHandle& out, Progress& progress) {
    if (!usable(id)) return corruptError("no entry " + std::to_string(id));
    const FatEntry& entry = entryTable[id];
    if (entry.isFolder()) return unsupportedError("\"" + entry.name + "\" is a folder");
    auto found = dataClusters(entry);
    if (!found) return found.error();
    const std::vector<uint32_t>& clusters = found.value();
    uint64_t remaining = entry.size;
    uint64_t written = 0;
    std::vector<uint8_t> buffer;
    size_t i = 0;
    while (i < clusters.size() && remaining > 0) {
        if (!progress.checkpoint()) return Error{ErrorKind::Stopped, "stopped"};
        size_t run = 1;
        while (i + run < clusters.size() && clusters[i + run] == clusters[i] + run &&
               (run + 1) * boot.clusterBytes <= kReadPieceBytes)
            ++run;
        const uint64_t bytes = std::min<uint64_t>(remaining, run * boot.clusterBytes);
        buffer.resize(static_cast<size_t>(bytes));
        const uint64_t at = boot.clusterOffset(clusters[i]);
        const bool read = view_.readAt(at, buffer);
        if (Status wrote = out.writeAt(written, buffer); !wrote) return wrote;
        if (!read)
            return ioError("\"" + entry.name + "\": cluster " + std::to_string(clusters[i]) +
                           " at byte " + std::to_string(at) + " lies past the disk's end");
        written += bytes;
        remaining -= bytes;
        i += run;
    }
    if (remaining > 0)
        return corruptError("\"" + entry.name + "\": its clusters hold " + std::to_string(written) +
                            " of its " + std::to_string(entry.size) + " bytes");
    return {};
}

}  // namespace prendle::fat

namespace prendle::fs {

namespace {
template <class Class>
std::unique_ptr<FileSystem> openFat(const VolumeView& view, const VolumeInfo&,
                                    const OpenOptions& options) {
    return std::make_unique<Class>(view, options);
}
}  // namespace

FileSystemType fatFileSystem16() {
    FileSystemType type;
    type.name = "fat16";
    type.volumeKinds = {FileSystemKind::Fat12, FileSystemKind::Fat16};
    // The advanced mode is parsed as the standard one until its own search exists.
    type.modes = {ParseMode::Standard, ParseMode::Advanced};
    type.offersFormattedChoice = true;
    // extract() only reads the view and tables the parse left behind.
    type.parallelExtract = true;
    type.open = &openFat<fat::Fat16Class>;
    return type;
}

FileSystemType fatFileSystem32() {
    FileSystemType type = fatFileSystem16();
    type.name = "fat32";
    type.volumeKinds = {FileSystemKind::Fat32};
    type.open = &openFat<fat::Fat32Class>;
    return type;
}

}  // namespace prendle::fs
