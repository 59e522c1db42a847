#include "fs/ntfs/ntfs.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "fs/common/file_time.h"
#include "fs/common/recover.h"
#include "fs/common/safe_name.h"

using namespace prendle;
using namespace prendle::ntfs_format;

namespace {

constexpr uint64_t kMegabyte = 1048576;
constexpr uint64_t kScanChunkBytes = 10 * kMegabyte;
constexpr uint64_t kMftReadBytes = kMegabyte;
constexpr uint64_t kRecordNumberMask = (uint64_t{1} << 48) - 1;
constexpr uint32_t kDirectoryFlag = 0x10000000;
// The deep parse files at most this many directories under ORPHAN_ENTRY.
constexpr uint64_t kMaxDeepDirectories = 100001;
// An attribute list larger than this is damage; real ones are a few KiB.
constexpr uint64_t kMaxAttributeListBytes = 16 * kMegabyte;
// 2^8 clusters per compression unit is far beyond any NTFS writer (they use 2^4).
constexpr uint16_t kMaxCompressionExponent = 8;
constexpr uint64_t kMaxCompressionUnitBytes = 4 * kMegabyte;

constexpr uint64_t kUnknownRecord = ~uint64_t{0};

bool isTopBitSet(uint64_t value) {
    return (value >> 63) != 0;
}

}  // namespace

ntfs::ntfs(const VolumeView& view, VolumeInfo volumeRecord)
    : volume(std::move(volumeRecord)), view_(view) {}

uint64_t ntfs::volumeClusters() const {
    uint64_t bytes = volumeBytes;
    const uint64_t available = view_.length;
    if (bytes == 0 || bytes > available) bytes = available;
    return bytesPerCluster == 0 ? 0 : bytes / bytesPerCluster;
}

bool ntfs::readBootSector() {
    std::array<uint8_t, 512> sector{};
    if (!view_.readAt(0, sector)) return false;
    boot_ = decodeBootSector(sector);
    if (boot_.hasNtfsName) {
        volumeBytes = checkedMul(boot_.totalSectors, 512).value_or(0);
    } else {
        uint64_t megabytes = 0;
        try {
            megabytes = std::stoull(volume.sizeText);
        } catch (const std::exception&) {
        }
        volumeBytes = checkedMul(megabytes, kMegabyte).value_or(0);
    }
    bytesPerCluster = boot_.hasNtfsName ? clusterBytes(boot_) : 0;
    if (bytesPerCluster == 0) bytesPerCluster = 4096;
    bytesPerRecord = boot_.hasNtfsName ? recordBytes(boot_, bytesPerCluster) : 1024;
    return volumeBytes != 0;
}

Result<std::vector<uint8_t>> ntfs::readRecordAt(uint64_t recordOffset) {
    std::vector<uint8_t> record(bytesPerRecord);
    if (!view_.readAt(recordOffset, record))
        return ioError("MFT record at volume byte " + std::to_string(recordOffset) + ": " +
                       view_.reader->lastError());
    RecordHeader header = decodeRecordHeader(record);
    if (header.signature == kFileSignature) applyFixups(record, header);
    return record;
}

std::optional<uint64_t> ntfs::mftRecordOffset(uint64_t recordNumber) const {
    auto byteInMft = checkedMul(recordNumber, bytesPerRecord);
    if (!byteInMft) return std::nullopt;
    uint64_t vcnBytes = 0;
    for (const DataRun& run : mftRuns) {
        uint64_t runBytes = run.length * bytesPerCluster;
        if (*byteInMft < vcnBytes + runBytes) {
            // A record that straddles two runs is read from where it starts; 1 KiB records
            // never straddle the 4 KiB clusters every formatter writes.
            if (run.sparse) return std::nullopt;
            return run.lcn * bytesPerCluster + (*byteInMft - vcnBytes);
        }
        vcnBytes += runBytes;
    }
    return std::nullopt;
}

void ntfs::parseRecord(std::span<uint8_t> record, uint64_t recordOffset, MftEntry& entry) {
    RecordHeader header = decodeRecordHeader(record);
    entry.signature = header.signature;
    entry.recordOffset = recordOffset;
    if (header.signature != kFileSignature) return;
    applyFixups(record, header);
    entry.recordFlags = header.flags;
    entry.baseRecord = header.baseReference & kRecordNumberMask;
    entry.ownNumber = header.recordNumber;
    entry.hasOwnNumber = header.hasRecordNumber;
    bool haveParent = false;
    bool nameIsDos = false;
    for (const Attribute& a : enumerateAttributes(record, header)) {
        if (a.type == kStandardInformation && !a.nonResident) {
            StandardTimes times = decodeStandardTimes(residentContent(record, a));
            entry.created = times.created;
            entry.modified = times.modified;
            entry.accessed = times.accessed;
        } else if (a.type == kFileName && !a.nonResident) {
            auto decoded = decodeFileName(residentContent(record, a));
            if (!decoded) continue;
            const FileName& fileName = decoded.value();
            if ((fileName.flags & kDirectoryFlag) != 0) entry.kind = kDirectoryKind;
            if (fileName.nameTooLong) continue;
            // A DOS 8.3 alias never replaces the long name.
            const bool dos = fileName.nameSpace == 2;
            if (entry.hasName && dos && !nameIsDos) continue;
            entry.name = fileName.name;
            entry.size = fileName.allocatedSize;
            entry.fileAttributes = fileName.flags;
            nameIsDos = dos;
            if (!entry.hasName && !haveParent) {
                entry.parentIndex = fileName.parentReference & kRecordNumberMask;
                haveParent = true;
            }
            entry.hasName = true;
        } else if (a.type == kData && a.nameLength == 0) {
            if (!a.nonResident) {
                entry.dataSize = a.contentLength;
                entry.hasDataStart = true;
            } else if (a.startVcn == 0) {
                entry.dataSize = a.realSize;
                entry.hasDataStart = true;
            }
        }
    }
}

bool ntfs::locateMftFromBoot() {
    mftRunKnown = true;
    auto offset = checkedMul(boot_.mftCluster, bytesPerCluster);
    if (!offset) return true;
    progress_->status("boot sector is fine.Getting run of mft entry...");
    // The base record's own runs locate the extension records the rest may live in.
    auto record = readRecordAt(*offset);
    if (!record) return true;
    RecordHeader header = decodeRecordHeader(record.value());
    if (header.signature != kFileSignature) return true;
    for (const Attribute& a : enumerateAttributes(record.value(), header)) {
        if (a.type != kData || a.nameLength != 0 || !a.nonResident || a.startVcn != 0) continue;
        // A damaged run ends the list; the MFT's fragments before it are still read.
        auto runs = decodeRunListPartially(runListBytes(record.value(), a),
                                           a.lastVcn - a.startVcn + 1, volumeClusters());
        if (runs.damage) warnings_.push_back("$MFT " + runs.damage->message);
        mftRuns = std::move(runs.runs);
        break;
    }
    auto stream = readDataStream(*offset, 0);
    if (stream && stream.value().found && !stream.value().resident &&
        stream.value().runs.size() >= mftRuns.size()) {
        mftRuns = std::move(stream.value().runs);
        mftBytes_ = stream.value().realSize;
    }
    progress_->status("Got run...");
    return true;
}

void ntfs::loadMftRecords() {
    if (!mftRunKnown || !progress_->checkpoint()) return;
    entryTable.clear();
    // Runs may overlap in a damaged MFT: its size is bounded by the volume's as well.
    const uint64_t volumeLimit = volumeClusters() * bytesPerCluster;
    uint64_t runBytesTotal = 0;
    for (const DataRun& run : mftRuns)
        runBytesTotal = std::min(volumeLimit, runBytesTotal + run.length * bytesPerCluster);
    uint64_t mftBytes = mftBytes_ != 0 ? std::min(mftBytes_, runBytesTotal) : runBytesTotal;
    const uint64_t recordCount = mftBytes / bytesPerRecord;
    // The table grows with the records actually read, never by a size from the disk.
    entryTable.reserve(std::min<uint64_t>(recordCount, 1u << 16) + 1);
    progress_->progressRange(0, recordCount);

    std::vector<uint8_t> buffer(std::max<uint64_t>(kMftReadBytes / bytesPerRecord, 1) *
                                bytesPerRecord);
    uint64_t lastProgress = 0;
    for (const DataRun& run : mftRuns) {
        progress_->status("parsing " + std::to_string(run.lcn) + " cluster of MFT run.");
        // The MFT is never sparse; a hole means the run list is damaged from here on.
        if (!progress_->checkpoint() || run.sparse) break;
        const uint64_t runBytes = run.length * bytesPerCluster;
        for (uint64_t done = 0; done < runBytes && entryTable.size() < recordCount;) {
            if (!progress_->checkpoint()) break;
            // Whole records only; a piece of a record left at the end of a run is passed over.
            uint64_t piece = std::min<uint64_t>(buffer.size(), runBytes - done);
            piece -= piece % bytesPerRecord;
            if (piece == 0) break;
            std::span<uint8_t> chunk(buffer.data(), piece);
            const uint64_t volumeOffset = run.lcn * bytesPerCluster + done;
            if (!view_.readAt(volumeOffset, chunk))
                warnings_.push_back("MFT records at volume byte " + std::to_string(volumeOffset) +
                                    " could not all be read: " + view_.reader->lastError());
            for (uint64_t at = 0; at < piece && entryTable.size() < recordCount;
                 at += bytesPerRecord) {
                MftEntry entry;
                entry.selfIndex = entryTable.size();
                parseRecord(chunk.subspan(at, bytesPerRecord), volumeOffset + at, entry);
                entryTable.push_back(std::move(entry));
            }
            done += piece;
            if (entryTable.size() - lastProgress >= 4096) {
                lastProgress = entryTable.size();
                progress_->progressPos(lastProgress);
            }
        }
    }
    progress_->progressPos(entryTable.size());
    mergeExtensionRecords(nullptr);
}

void ntfs::mergeExtensionRecords(const std::unordered_map<uint64_t, uint64_t>* indexOfRecord) {
    // A record whose FILE_NAME or data sizes live in an extension record gets them back,
    // and the extension record itself is no entry of its own. Without an MFT (the deep
    // parse) records are matched by the numbers they carry.
    for (uint64_t i = 0; i < entryTable.size(); ++i) {
        MftEntry& extension = entryTable[i];
        if (extension.signature != kFileSignature || extension.baseRecord == 0) continue;
        uint64_t baseIndex = extension.baseRecord;
        if (indexOfRecord != nullptr) {
            auto found = indexOfRecord->find(extension.baseRecord);
            if (found == indexOfRecord->end()) continue;
            baseIndex = found->second;
        }
        if (baseIndex == i || baseIndex >= entryTable.size()) continue;
        MftEntry& base = entryTable[baseIndex];
        if (extension.hasName && !base.hasName) {
            base.name = std::move(extension.name);
            base.hasName = true;
            base.parentIndex = extension.parentIndex;
            base.size = extension.size;
            base.fileAttributes = extension.fileAttributes;
        }
        if (extension.kind == kDirectoryKind) base.kind = kDirectoryKind;
        if (extension.hasDataStart) base.dataSize = extension.dataSize;
        extension.hasName = false;
        extension.name.clear();
    }
}

Result<ntfs::DataStream> ntfs::readDataStream(uint64_t recordOffset, uint64_t recordNumber) {
    auto baseRecord = readRecordAt(recordOffset);
    if (!baseRecord) return baseRecord.error();
    std::vector<uint8_t>& record = baseRecord.value();
    RecordHeader header = decodeRecordHeader(record);
    if (header.signature != kFileSignature)
        return corruptError("not a valid entry...: record " + std::to_string(recordNumber) +
                            " does not begin with FILE");
    // A record found by the deep scan names itself; its attribute list lists it too.
    if (recordNumber == kUnknownRecord && header.hasRecordNumber)
        recordNumber = header.recordNumber;

    struct Extent {
        uint64_t startVcn = 0;
        std::vector<DataRun> runs;
    };
    std::vector<Extent> extents;
    DataStream stream;
    const uint64_t clusters = volumeClusters();
    auto takeData = [&](std::span<const uint8_t> bytes, const Attribute& a) -> Status {
        if (a.type != kData || a.nameLength != 0) return {};
        stream.found = true;
        if (!a.nonResident) {
            auto content = residentContent(bytes, a);
            stream.resident = true;
            stream.residentBytes.assign(content.begin(), content.end());
            stream.realSize = content.size();
            return {};
        }
        if (a.startVcn == 0) {
            stream.realSize = a.realSize;
            stream.initializedSize = std::min(a.initializedSize, a.realSize);
            stream.flags = a.flags;
            stream.compressionUnit = a.compressionUnit;
        }
        auto runs =
            decodeRunListPartially(runListBytes(bytes, a), a.lastVcn - a.startVcn + 1, clusters);
        if (runs.damage && !stream.damage) stream.damage = runs.damage;
        extents.push_back({a.startVcn, std::move(runs.runs)});
        return {};
    };

    std::vector<uint64_t> extensionRecords;
    const auto attributes = enumerateAttributes(record, header);
    for (const Attribute& a : attributes) {
        if (auto taken = takeData(record, a); !taken) return taken.error();
        if (a.type != kAttributeList) continue;
        std::vector<uint8_t> listBytes;
        if (!a.nonResident) {
            auto content = residentContent(record, a);
            listBytes.assign(content.begin(), content.end());
        } else {
            auto runs = decodeRunListPartially(runListBytes(record, a), a.lastVcn - a.startVcn + 1,
                                               clusters);
            if (runs.damage && !stream.damage) stream.damage = runs.damage;
            uint64_t wanted = std::min(a.realSize, kMaxAttributeListBytes);
            for (const DataRun& run : runs.runs) {
                if (listBytes.size() >= wanted) break;
                uint64_t take = std::min(run.length * bytesPerCluster, wanted - listBytes.size());
                size_t at = listBytes.size();
                listBytes.resize(at + take, 0);
                if (!run.sparse && !view_.readAt(run.lcn * bytesPerCluster,
                                                 std::span(listBytes).subspan(at, take)))
                    stream.damage =
                        ioError("attribute list of record " + std::to_string(recordNumber) + ": " +
                                view_.reader->lastError());
            }
        }
        for (const AttributeListEntry& entry : decodeAttributeList(listBytes)) {
            const uint64_t reference = entry.recordReference & kRecordNumberMask;
            if (entry.type == kData && entry.nameLength == 0 && reference != recordNumber &&
                std::find(extensionRecords.begin(), extensionRecords.end(), reference) ==
                    extensionRecords.end())
                extensionRecords.push_back(reference);
        }
    }
    for (uint64_t number : extensionRecords) {
        std::optional<uint64_t> offset = mftRecordOffset(number);
        if (!offset && deepMode())
            if (auto found = scannedRecordOffsets_.find(number);
                found != scannedRecordOffsets_.end())
                offset = found->second;
        if (!offset)
            return corruptError("extension record " + std::to_string(number) +
                                " lies outside the MFT");
        auto extension = readRecordAt(*offset);
        if (!extension) return extension.error();
        RecordHeader extensionHeader = decodeRecordHeader(extension.value());
        if (extensionHeader.signature != kFileSignature) continue;
        for (const Attribute& a : enumerateAttributes(extension.value(), extensionHeader))
            if (auto taken = takeData(extension.value(), a); !taken) return taken.error();
    }
    // Extents in VCN order; a gap between them reads as zeros.
    std::sort(extents.begin(), extents.end(),
              [](const Extent& a, const Extent& b) { return a.startVcn < b.startVcn; });
    uint64_t vcn = 0;
    for (Extent& extent : extents) {
        if (extent.startVcn < vcn) continue;
        if (extent.startVcn > vcn) stream.runs.push_back({true, 0, extent.startVcn - vcn});
        vcn = extent.startVcn;
        for (const DataRun& run : extent.runs) {
            stream.runs.push_back(run);
            vcn += run.length;
        }
    }
    return stream;
}

void ntfs::buildTree() {
    // ORPHAN_ENTRY comes after every record.
    MftEntry orphanEntry;
    orphanEntry.signature = kFileSignature;
    orphanEntry.name = kOrphanEntryName;
    orphanEntry.hasName = true;
    orphanEntry.kind = kDirectoryKind;
    orphanEntry.recordFlags = 1;
    const uint64_t recordCount = entryTable.size();
    orphanIndex = recordCount;
    orphanEntry.selfIndex = orphanIndex;
    entryTable.push_back(orphanEntry);

    rootIndex = entryTable.size();
    for (uint64_t i = 1; i < recordCount; ++i) {
        if (entryTable[i].hasName && entryTable[i].name == ".") {
            rootIndex = i;
            break;
        }
    }

    if (!deepMode()) {
        // Children keep the order of the records; the last child of each parent is kept
        // so that linking stays linear in the number of entries.
        std::vector<uint64_t> lastChild(entryTable.size(), 0);
        progress_->progressRange(0, recordCount);
        for (uint64_t i = 1; i < recordCount; ++i) {
            MftEntry& entry = entryTable[i];
            if (!entry.hasName || i == rootIndex) continue;
            const uint64_t parent = entry.parentIndex;
            if (parent >= recordCount || parent == i || entryTable[parent].kind != 'D') {
                entry.orphan = 1;
                continue;
            }
            if (lastChild[parent] == 0) {
                entryTable[parent].firstChild = i;
            } else {
                entryTable[lastChild[parent]].nextSibling = i;
            }
            lastChild[parent] = i;
        }
        if (hasRoot()) {
            MftEntry& orphan = entryTable[orphanIndex];
            orphan.parentIndex = rootIndex;
            if (lastChild[rootIndex] == 0) {
                entryTable[rootIndex].firstChild = orphanIndex;
            } else {
                entryTable[lastChild[rootIndex]].nextSibling = orphanIndex;
            }
        }
    }
    placeOrphans();
}

void ntfs::placeOrphans() {
    MftEntry& orphan = entryTable[orphanIndex];
    auto pushFront = [&](uint64_t parent, uint64_t child) {
        MftEntry& p = entryTable[parent];
        entryTable[child].nextSibling = p.firstChild == 0 ? kNoSibling : p.firstChild;
        p.firstChild = child;
    };
    if (!deepMode()) {
        for (uint64_t i = 0; i < orphanIndex; ++i) {
            if (entryTable[i].orphan != 1) continue;
            entryTable[i].parentIndex = orphanIndex;
            pushFront(orphanIndex, i);
        }
        return;
    }
    // Deep: files are grouped under the directory record that precedes them on the disk.
    orphan.firstChild = 0;
    uint64_t current = orphanIndex;
    uint64_t directories = 0;
    for (uint64_t i = 0; i < orphanIndex; ++i) {
        if (i == rootIndex) continue;
        MftEntry& entry = entryTable[i];
        entry.firstChild = 0;
        entry.nextSibling = 0;
        entry.parentIndex = 0;
    }
    for (uint64_t i = 0; i < orphanIndex; ++i) {
        if (i == rootIndex) continue;
        MftEntry& entry = entryTable[i];
        if (entry.kind == kDirectoryKind && directories < kMaxDeepDirectories) {
            ++directories;
            entry.parentIndex = orphanIndex;
            pushFront(orphanIndex, i);
            current = i;
        } else {
            entry.parentIndex = current;
            pushFront(current, i);
        }
    }
}

std::vector<uint64_t> ntfs::childrenOf(uint64_t index) const {
    std::vector<uint64_t> out;
    if (index >= entryTable.size()) return out;
    uint64_t child = entryTable[index].firstChild;
    // A damaged chain cannot make this walk longer than the table.
    for (uint64_t steps = 0; child != 0 && !isTopBitSet(child) && child < entryTable.size() &&
                             steps < entryTable.size();
         ++steps) {
        out.push_back(child);
        child = entryTable[child].nextSibling;
    }
    return out;
}

template <class OnRecord>
bool ntfs::scanVolumeForRecords(bool strictHeader, uint64_t progressEvery, OnRecord onRecord) {
    const uint64_t limit = volumeClusters() * bytesPerCluster;
    const uint64_t chunks = limit / kScanChunkBytes;
    progress_->progressRange(0, chunks);
    // Each chunk is read with a record's worth of overlap so no record is cut in two.
    std::vector<uint8_t> buffer(kScanChunkBytes + bytesPerRecord);
    uint64_t chunkNumber = 0;
    for (uint64_t start = 0; start < limit; start += kScanChunkBytes, ++chunkNumber) {
        if (!progress_->checkpoint()) return false;
        if (chunkNumber % progressEvery == 0) progress_->progressPos(chunkNumber);
        const uint64_t length = std::min<uint64_t>(buffer.size(), limit - start);
        std::span<uint8_t> chunk(buffer.data(), length);
        // A chunk that cannot be read is scanned as what was read (zeros elsewhere).
        if (!view_.readAt(start, chunk) && start + length <= view_.length)
            warnings_.push_back("volume bytes " + std::to_string(start) + "+" +
                                std::to_string(length) + ": " + view_.reader->lastError());
        const uint64_t stepEnd = std::min<uint64_t>(kScanChunkBytes, length);
        for (uint64_t at = 0; at < stepEnd && at + bytesPerRecord <= length;) {
            std::span<uint8_t> record = chunk.subspan(at, bytesPerRecord);
            RecordHeader header = decodeRecordHeader(record);
            const bool plausible = !strictHeader || (header.updateSequenceOffset < 512 &&
                                                     header.updateSequenceCount < 512 &&
                                                     header.firstAttributeOffset < 512);
            if (header.signature != kFileSignature || !plausible) {
                at += 512;
                continue;
            }
            if (deepMode() && header.hasRecordNumber)
                scannedRecordOffsets_.emplace(header.recordNumber, start + at);
            std::vector<uint8_t> copy(record.begin(), record.end());
            MftEntry entry;
            entry.selfIndex = entryTable.size();
            parseRecord(copy, start + at, entry);
            if (onRecord(std::move(entry), start + at)) return true;
            at += bytesPerRecord;
        }
    }
    progress_->progressPos(chunks);
    return false;
}

void ntfs::scanDeepForRecords() {
    mftRunKnown = false;
    // Every record is kept until names in extension records have gone back to their
    // base records; then the nameless ones are dropped.
    uint64_t named = 0;
    (void)scanVolumeForRecords(true, 1, [&](MftEntry entry, uint64_t) {
        entry.orphan = 1;
        if (entry.hasName)
            progress_->status("MFT ENTRY " + std::to_string(++named) + " Found.Parsing it ..");
        entryTable.push_back(std::move(entry));
        return false;
    });
    std::unordered_map<uint64_t, uint64_t> indexOfRecord;
    for (uint64_t i = 0; i < entryTable.size(); ++i)
        if (entryTable[i].hasOwnNumber) indexOfRecord.emplace(entryTable[i].ownNumber, i);
    mergeExtensionRecords(&indexOfRecord);
    std::erase_if(entryTable, [](const MftEntry& entry) { return !entry.hasName; });
    for (uint64_t i = 0; i < entryTable.size(); ++i) entryTable[i].selfIndex = i;
}

bool ntfs::findMftByScan() {
    bytesPerCluster = 4096;
    progress_->status("boot sector corrupt.Scanning for first mft entry...");
    mftRunKnown = false;
    return scanVolumeForRecords(false, 100, [&](MftEntry entry, uint64_t offset) {
        if (entry.hasName && entry.name.rfind("$MF", 0) == 0) {
            progress_->status("found mft entry.getting its run ...");
            mftRuns.clear();
            auto stream = readDataStream(offset, 0);
            progress_->status("got run ...");
            if (stream && !stream.value().runs.empty()) {
                mftRuns = std::move(stream.value().runs);
                mftBytes_ = stream.value().realSize;
                mftRunKnown = true;
                entryTable.clear();
                return true;
            }
        }
        entryTable.push_back(std::move(entry));
        return false;
    });
}

Result<fs::ParseSummary> ntfs::parse(fs::ParseMode mode, Progress& progress) {
    // Advanced mode parses as the standard one until its candidate search exists.
    mode_ = mode == fs::ParseMode::Deep ? fs::ParseMode::Deep : fs::ParseMode::Standard;
    entryTable.clear();
    mftRuns.clear();
    warnings_.clear();
    scannedRecordOffsets_.clear();
    if (view_.reader == nullptr || view_.length < 512)
        return corruptError("the volume at sector " + std::to_string(volume.startSector) +
                            " lies outside the disk");
    progress_ = &progress;
    (void)readBootSector();
    if (deepMode()) {
        progress.status(" scanning for mft entries in deep mode ....");
        scanDeepForRecords();
    } else {
        progress.status(" ParsingBasedOnMFT is going on....");
        if (boot_.hasNtfsName) {
            locateMftFromBoot();
        } else {
            findMftByScan();
        }
        loadMftRecords();
    }
    buildTree();
    fs::ParseSummary summary;
    countFound(summary);
    summary.stopped = progress.stopRequested();
    for (std::string& warning : warnings_) summary.warn(std::move(warning));
    warnings_.clear();
    if (!hasRoot() && !deepMode())
        summary.warn("no root folder record: every entry is shown under " +
                     std::string(kOrphanEntryName));
    progress_ = &quiet_;
    return summary;
}

void ntfs::countFound(fs::ParseSummary& summary) const {
    for (uint64_t i = 0; i < entryTable.size(); ++i) {
        if (i == orphanIndex || !usable(i) || !entryTable[i].hasName) continue;
        ++summary.entryCount;
        if (isDeleted(i)) ++summary.deletedCount;
    }
}

Status ntfs::extract(uint64_t index, const FileHandle& out, Progress& progress) {
    if (index >= entryTable.size() || index == orphanIndex)
        return corruptError("no entry " + std::to_string(index));
    const MftEntry& entry = entryTable[index];
    if (!entry.hasName) return corruptError("entry " + std::to_string(index) + " has no name");
    if (entry.kind == kDirectoryKind)
        return unsupportedError("This is  " + entry.name +
                                " directory .Please specify file names ");
    // In the standard mode the record is found through the MFT's runs by its number.
    uint64_t recordOffset = entry.recordOffset;
    auto stream = readDataStream(recordOffset, deepMode() ? kUnknownRecord : index);
    if (!stream) return stream.error();
    const DataStream& data = stream.value();
    if (!data.found) return {};
    if (data.resident) return out.writeAt(0, data.residentBytes);

    const uint64_t realSize = data.realSize;
    const uint64_t cluster = bytesPerCluster;
    // Where the bytes written so far end; holes at the end are made by the length alone.
    uint64_t writtenEnd = 0;
    std::optional<Error> failure;
    auto noteFailure = [&](const std::string& what) {
        if (!failure)
            failure = ioError(entry.name + ": " + what + ": " + view_.reader->lastError());
    };

    const bool compressed = (data.flags & 0x0001) != 0 && data.compressionUnit != 0;
    if (!compressed) {
        // No bigger than the file: a save of many small files must not clear 1 MiB each.
        std::vector<uint8_t> buffer(static_cast<size_t>(
            std::min<uint64_t>(kMegabyte, divideRoundingUp(realSize, cluster) * cluster)));
        uint64_t position = 0;
        for (const DataRun& run : data.runs) {
            if (position >= realSize || !progress.checkpoint()) break;
            const uint64_t runBytes = run.length * cluster;
            for (uint64_t done = 0; done < runBytes && position < realSize;) {
                if (done != 0 && !progress.checkpoint()) break;
                uint64_t piece =
                    std::min<uint64_t>({buffer.size(), runBytes - done, realSize - position});
                // Holes and bytes past the initialized size stay zeros in the file.
                if (!run.sparse && position < data.initializedSize) {
                    std::span<uint8_t> chunk(buffer.data(), piece);
                    if (!view_.readAt(run.lcn * cluster + done, chunk))
                        noteFailure("clusters at " + std::to_string(run.lcn + done / cluster));
                    if (position + piece > data.initializedSize)
                        std::fill(chunk.begin() + (data.initializedSize - position), chunk.end(),
                                  0);
                    if (auto written = out.writeAt(position, chunk); !written) return written;
                    writtenEnd = position + chunk.size();
                }
                done += piece;
                position += piece;
            }
        }
    } else {
        // Compression units: all sparse is zeros, all stored is raw, else LZNT1.
        const uint64_t unitClusters =
            uint64_t{1} << std::min<uint16_t>(data.compressionUnit, kMaxCompressionExponent);
        const uint64_t unitBytes = unitClusters * cluster;
        // Windows compresses 16 clusters of at most 4 KiB; a far larger unit is damage and
        // must not size two buffers.
        if (unitBytes > kMaxCompressionUnitBytes)
            return corruptError(entry.name + ": compression unit of " + std::to_string(unitBytes) +
                                " bytes");
        std::vector<uint8_t> packed(unitBytes);
        std::vector<uint8_t> unpacked(unitBytes);
        std::vector<std::pair<bool, uint64_t>> unit;  // (stored, lcn) per cluster
        size_t runIndex = 0;
        uint64_t withinRun = 0;
        for (uint64_t position = 0; position < realSize && progress.checkpoint();
             position += unitBytes) {
            unit.clear();
            while (unit.size() < unitClusters && runIndex < data.runs.size()) {
                const DataRun& run = data.runs[runIndex];
                unit.emplace_back(!run.sparse, run.lcn + withinRun);
                if (++withinRun == run.length) {
                    ++runIndex;
                    withinRun = 0;
                }
            }
            size_t stored = 0;
            while (stored < unit.size() && unit[stored].first) ++stored;
            const uint64_t length = std::min(unitBytes, realSize - position);
            if (stored == 0) continue;  // a hole
            // Stored clusters come first in a unit; read them in runs of neighbours.
            for (size_t c = 0; c < stored;) {
                size_t end = c + 1;
                while (end < stored && unit[end].second == unit[end - 1].second + 1) ++end;
                std::span<uint8_t> part(packed.data() + c * cluster, (end - c) * cluster);
                if (!view_.readAt(unit[c].second * cluster, part))
                    noteFailure("compressed clusters at " + std::to_string(unit[c].second));
                c = end;
            }
            std::span<const uint8_t> result;
            if (stored == unitClusters) {
                result = std::span<const uint8_t>(packed.data(), unitBytes);
            } else {
                std::fill(unpacked.begin(), unpacked.end(), 0);
                auto decoded =
                    lznt1Decompress(std::span(packed.data(), stored * cluster), unpacked);
                if (!decoded.complete) noteFailure("a damaged compression unit");
                result = unpacked;
            }
            if (auto written = out.writeAt(position, result.first(length)); !written)
                return written;
            writtenEnd = position + length;
        }
    }
    // Holes at the end are not written; the length says where the file ends.
    if (writtenEnd != realSize)
        if (auto sized = out.truncate(realSize); !sized) return sized;
    if (progress.stopRequested()) return Error{ErrorKind::Stopped, "stopped"};
    if (failure) return *failure;
    if (data.damage) return corruptError(entry.name + ": " + data.damage->message);
    return {};
}

std::vector<uint64_t> ntfs::topLevel() const {
    // Without a root record (damaged, or the deep parse) every entry hangs below
    // ORPHAN_ENTRY, which then stands alone on the first level.
    if (hasRoot() && !deepMode()) return childrenOf(rootIndex);
    if (orphanIndex < entryTable.size()) return {orphanIndex};
    return {};
}

bool ntfs::usable(uint64_t index) const {
    return index < entryTable.size() && entryTable[index].signature == kFileSignature;
}

bool ntfs::isFolder(uint64_t index) const {
    return usable(index) && entryTable[index].kind == kDirectoryKind;
}

bool ntfs::isDeleted(uint64_t index) const {
    return usable(index) && (entryTable[index].recordFlags & 1) == 0;
}

bool ntfs::skippedOnSave(uint64_t index) const {
    return index < entryTable.size() && entryTable[index].name == "$BadClus";
}

fs::EntryFacts ntfs::facts(uint64_t index) const {
    fs::EntryFacts out;
    if (index >= entryTable.size()) return out;
    const MftEntry& e = entryTable[index];
    out.name = e.name;
    out.folder = e.kind == kDirectoryKind;
    out.deleted = (e.recordFlags & 1) == 0;
    out.size = out.folder ? 0 : e.dataSize;
    out.created = e.created;
    out.modified = e.modified;
    out.accessed = e.accessed;
    out.attributes = e.fileAttributes;
    return out;
}

Status ntfs::extractMftEntry(const std::string& indexText, std::string& outputPath) {
    uint64_t index = 0;
    try {
        index = std::stoull(indexText);
    } catch (const std::exception&) {
        return corruptError("not an entry number: " + indexText);
    }
    if (index >= entryTable.size() || !entryTable[index].hasName)
        return corruptError("entry " + indexText + " has no name");
    const MftEntry& entry = entryTable[index];
    // Trimmed as the browser shows it, and never a path of its own.
    std::string name = entry.name;
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    name.erase(name.begin(), std::find_if(name.begin(), name.end(), notSpace));
    name.erase(std::find_if(name.rbegin(), name.rend(), notSpace).base(), name.end());
    while (!outputPath.empty() && std::isspace(static_cast<unsigned char>(outputPath.back())))
        outputPath.pop_back();
    outputPath += safeFileName(name);
    if (entry.kind == kDirectoryKind)
        return unsupportedError("This is  " + name + " directory .Please specify file names ");
    // Written as every save writes a file: a failure leaves "<name>.partial", no times.
    return fs::recoverFile(*this, index, outputPath, quiet_);
}

EntryDisplayText ntfs::displayText(uint64_t index) const {
    if (index >= entryTable.size()) return {};
    const MftEntry& e = entryTable[index];
    return {formatFileTime(e.created), formatFileTime(e.accessed), formatFileTime(e.modified),
            formatAttributeText(AttributeFlavour::Ntfs, e.fileAttributes)};
}

std::string ntfs::sizeText(uint64_t index) const {
    if (index >= entryTable.size()) return formatSizeText(0);
    return formatSizeText(static_cast<int64_t>(entryTable[index].dataSize));
}

namespace prendle::fs {

FileSystemType ntfsFileSystem() {
    FileSystemType type;
    type.name = "ntfs";
    type.volumeKinds = {FileSystemKind::Ntfs};
    type.modes = {ParseMode::Standard, ParseMode::Advanced, ParseMode::Deep};
    type.childrenInheritCheck = true;
    // Extraction only reads, positionally: saves write files on every core.
    type.parallelExtract = true;
    type.startStatus = "ntfs partition selected....";
    type.open = [](const VolumeView& view, const VolumeInfo& volume,
                   const OpenOptions&) -> std::unique_ptr<FileSystem> {
        return std::make_unique<ntfs>(view, volume);
    };
    return type;
}

}  // namespace prendle::fs
