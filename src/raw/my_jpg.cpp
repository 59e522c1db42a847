// The carving scan. Starts are matched at sector starts (files begin on cluster borders);
// end signatures are found at any byte and across window borders, since a file's end
// rarely falls on a sector. Tests plant patterns in memory volumes and in a FAT32 image
// re-formatted with mkfs.fat after mtools wrote the files.
#include "raw/my_jpg.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "common/checked.h"

namespace prendle::raw {

namespace {

constexpr uint64_t kSector = kSectorBytes;
// The window is read with this much more, so a sector and an end signature that begins
// in it are whole in memory.
constexpr uint64_t kOverlapBytes = 2 * kSector;
// Reads that fail are retried in pieces of this size; failed pieces are not matched.
constexpr uint64_t kRetryPieceBytes = 64 * 1024;

uint64_t roundUpToSector(uint64_t value) {
    return divideRoundingUp(value, kSector) * kSector;
}

struct Pattern {
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t firstFixed = 0;  // index of the first byte that is not the wildcard
    std::array<uint8_t, kPatternBytes> bytes{};

    bool matchesAt(const uint8_t* at) const {
        if (at[firstFixed] != bytes[firstFixed]) return false;
        for (uint32_t k = 0; k < length; ++k) {
            if (bytes[k] != kWildcardByte && at[k] != bytes[k]) return false;
        }
        return true;
    }
};

Pattern makePattern(const std::array<uint8_t, kPatternBytes>& bytes, uint32_t length,
                    uint32_t offset) {
    Pattern p;
    p.offset = offset;
    p.length = length;
    p.bytes = bytes;
    while (p.firstFixed + 1 < length && bytes[p.firstFixed] == kWildcardByte) ++p.firstFixed;
    return p;
}

class Scan {
public:
    Scan(myJpg& engine, const VolumeView& view, Progress& progress,
         const std::function<void(size_t)>& onHit)
        : engine_(engine), view_(view), progress_(progress), onHit_(onHit) {}

    Result<CarveSummary> run();

private:
    bool loadWindow(uint64_t at);
    bool readable(uint64_t position) const {
        if (bad_.empty()) return true;
        return !bad_[(position - windowStart_) / kRetryPieceBytes];
    }
    const uint8_t* at(uint64_t position) const {
        return buffer_.data() + (position - windowStart_);
    }
    int matchStart(uint64_t position) const;
    uint64_t onStart(int typeId, uint64_t position);
    uint64_t searchEnds(uint64_t position, uint64_t next);
    void expire(uint64_t position);
    void record(uint64_t offset, uint64_t size, int typeId);
    uint64_t bound(const CarveRule& rule) const {
        return rule.approxSize > 0 ? static_cast<uint64_t>(rule.approxSize) : kDefaultSpanBytes;
    }
    uint64_t capToVolume(uint64_t offset, uint64_t size) const {
        return std::min(size, length_ - offset);
    }

    myJpg& engine_;
    const VolumeView& view_;
    Progress& progress_;
    const std::function<void(size_t)>& onHit_;
    CarveSummary summary_;

    uint64_t length_ = 0;
    std::vector<uint8_t> buffer_;
    std::vector<bool> bad_;  // per retry piece of the window; empty when all of it was read
    uint64_t windowStart_ = 0;
    uint64_t windowEnd_ = 0;  // end of the part whose sectors are scanned from this window

    std::vector<Pattern> starts_;
    std::vector<Pattern> ends_;
    // Starts waiting for their end signature, oldest first; emptied for every scan.
    std::vector<std::deque<uint64_t>> pendingStarts_;
    std::vector<uint64_t> searchFrom_;  // where each type's end search goes on
    std::vector<uint8_t> waitingTypes_;
};

bool Scan::loadWindow(uint64_t position) {
    windowStart_ = position;
    const uint64_t readLength = std::min(engine_.windowBytes + kOverlapBytes, length_ - position);
    windowEnd_ = std::min(position + engine_.windowBytes, length_);
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(readLength), buffer_.end(), 0);
    bad_.clear();
    std::span<uint8_t> out(buffer_.data(), static_cast<size_t>(readLength));
    if (view_.readAt(position, out)) return true;
    // Retry piece by piece so one bad block does not hide the whole window.
    bad_.assign(static_cast<size_t>(divideRoundingUp(readLength, kRetryPieceBytes)), false);
    uint64_t failed = 0;
    for (uint64_t piece = 0; piece < readLength; piece += kRetryPieceBytes) {
        auto part = out.subspan(piece, std::min(kRetryPieceBytes, readLength - piece));
        if (!view_.readAt(position + piece, part)) {
            std::fill(part.begin(), part.end(), 0);
            bad_[piece / kRetryPieceBytes] = true;
            ++failed;
        }
    }
    if (failed > 0) {
        summary_.warnings.push_back("read failed in " + std::to_string(failed) +
                                    " pieces of 64 KiB from volume byte " +
                                    std::to_string(position) + "; they were not scanned");
    }
    return true;
}

int Scan::matchStart(uint64_t position) const {
    const uint8_t* sector = at(position);
    for (size_t i = 0; i < starts_.size(); ++i) {
        const Pattern& p = starts_[i];
        if (position + p.offset + p.length > length_) continue;
        if (p.matchesAt(sector + p.offset)) return static_cast<int>(i);
    }
    return -1;
}

void Scan::record(uint64_t offset, uint64_t size, int typeId) {
    const CarveRule& rule = engine_.carveRules[static_cast<size_t>(typeId)];
    engine_.hits.push_back({offset, size, static_cast<uint8_t>(typeId)});
    ++engine_.categoryCounts[rule.categoryText()];
    ++summary_.hitsFound;
    if (onHit_) onHit_(engine_.hits.size() - 1);
}

// Acts on a start signature at position; returns where the scan goes on.
uint64_t Scan::onStart(int typeId, uint64_t position) {
    const auto type = static_cast<size_t>(typeId);
    const CarveRule& rule = engine_.carveRules[type];
    const uint64_t skip = rule.skipSize > static_cast<int64_t>(kSector)
                              ? static_cast<uint64_t>(rule.skipSize) / kSector * kSector
                              : kSector;
    if (rule.hasSizeField()) {
        const uint8_t* field = at(position) + rule.sizeFieldOffset;
        uint64_t size = 0;
        for (uint32_t k = 0; k < rule.sizeFieldBytes; ++k) size |= uint64_t{field[k]} << (8 * k);
        // A zero size (or one that overflows with the header) says the signature was not
        // a file's header.
        if (size == 0) return position + kSector;
        if (rule.sizeIncludesHeader == 0) size = checkedAdd(size, rule.headerSize).value_or(0);
        if (size == 0) return position + kSector;
        if (rule.approxSize > 0) size = std::min(size, static_cast<uint64_t>(rule.approxSize));
        size = capToVolume(position, size);
        record(position, size, typeId);
        // The file's own sectors are not searched again, for starts or ends.
        const uint64_t next = std::max(position + kSector, position + roundUpToSector(size));
        for (uint64_t& from : searchFrom_) from = std::max(from, next);
        return next;
    }
    if (rule.endLength > 0) {
        pendingStarts_[type].push_back(position);
        if (pendingStarts_[type].size() == 1) waitingTypes_.push_back(static_cast<uint8_t>(type));
        searchFrom_[type] = position + starts_[type].offset + starts_[type].length;
        return position + kSector;
    }
    const uint64_t size =
        rule.approxSize > 0 ? static_cast<uint64_t>(rule.approxSize) : kUnsizedHitBytes;
    record(position, capToVolume(position, size), typeId);
    return position + skip;
}

// Drops starts that lie farther back than their rule's bound; those with an approximate
// size become hits of that size.
void Scan::expire(uint64_t position) {
    for (uint8_t type : waitingTypes_) {
        const CarveRule& rule = engine_.carveRules[type];
        auto& pending = pendingStarts_[type];
        while (!pending.empty() && position - pending.front() > bound(rule)) {
            if (rule.approxSize > 0) {
                record(pending.front(), capToVolume(pending.front(), bound(rule)), type);
            }
            pending.pop_front();
        }
    }
    std::erase_if(waitingTypes_, [&](uint8_t type) { return pendingStarts_[type].empty(); });
}

// Looks for end signatures that begin in [searchFrom, position + 512) for every type with
// a waiting start; returns where the scan goes on (at least next).
uint64_t Scan::searchEnds(uint64_t position, uint64_t next) {
    const uint64_t limit = std::min(position + kSector, length_);
    for (uint8_t type : waitingTypes_) {
        const CarveRule& rule = engine_.carveRules[type];
        const Pattern& p = ends_[type];
        uint64_t from = std::max(searchFrom_[type], position);
        searchFrom_[type] = std::max(searchFrom_[type], limit);
        if (from >= limit || !readable(position)) continue;
        // The last start position at which the whole pattern still lies in the volume.
        if (p.length > length_ || length_ - p.length < from) continue;
        const uint64_t last = std::min(limit, length_ - p.length + 1);
        std::optional<uint64_t> found;
        const uint8_t fixed = p.bytes[p.firstFixed];
        for (uint64_t e = from; e < last;) {
            const uint8_t* base = at(e) + p.firstFixed;
            const void* hit = std::memchr(base, fixed, static_cast<size_t>(last - e));
            if (hit == nullptr) break;
            const uint64_t candidate =
                e + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - base);
            if (p.matchesAt(at(candidate))) {
                found = candidate;
                break;
            }
            e = candidate + 1;
        }
        if (!found) continue;
        auto& pending = pendingStarts_[type];
        const uint64_t start = pending.back();
        pending.pop_back();
        const uint64_t endOfFile =
            checkedAdd(*found + p.length, rule.endTrailerBytes).value_or(length_);
        uint64_t size = capToVolume(start, endOfFile - start);
        if (rule.approxSize > 0) size = std::min(size, static_cast<uint64_t>(rule.approxSize));
        record(start, size, type);
        searchFrom_[type] = *found + p.length;
        next = std::max(next, roundUpToSector(*found + p.length));
        if (rule.skipSize > static_cast<int64_t>(kSector)) {
            next =
                std::max(next, position + static_cast<uint64_t>(rule.skipSize) / kSector * kSector);
        }
    }
    std::erase_if(waitingTypes_, [&](uint8_t type) { return pendingStarts_[type].empty(); });
    return next;
}

Result<CarveSummary> Scan::run() {
    const size_t count = engine_.signatureEntries.size();
    if (count == 0) return corruptError("no signatures are loaded");
    if (count != engine_.carveRules.size() || count > kMaxSignatures) {
        return corruptError("not properly initialized: " + std::to_string(count) + " signatures, " +
                            std::to_string(engine_.carveRules.size()) + " rules");
    }
    if (engine_.windowBytes == 0 || engine_.windowBytes % kSector != 0) {
        return corruptError("window of " + std::to_string(engine_.windowBytes) +
                            " bytes is not a positive multiple of 512");
    }
    for (const SignatureEntry& entry : engine_.signatureEntries) {
        starts_.push_back(makePattern(entry.startPattern, entry.startLength,
                                      static_cast<uint32_t>(entry.startOffset)));
        ends_.push_back(makePattern(entry.endPattern, entry.endLength, 0));
    }
    pendingStarts_.assign(count, {});
    searchFrom_.assign(count, 0);
    // Every known category starts this scan at zero, as the list shows one scan's hits.
    for (auto& [category, hitCount] : engine_.categoryCounts) hitCount = 0;
    for (const CarveRule& rule : engine_.carveRules) engine_.categoryCounts[rule.categoryText()];

    length_ = view_.length;
    try {
        buffer_.assign(static_cast<size_t>(engine_.windowBytes + kOverlapBytes), 0);
    } catch (const std::bad_alloc&) {
        return ioError("no memory for a scan window of " + std::to_string(engine_.windowBytes) +
                       " bytes");
    }
    const uint64_t windows = divideRoundingUp(length_, engine_.windowBytes);
    progress_.progressRange(0, windows);

    uint64_t position = 0;
    bool loaded = false;
    while (position < length_) {
        if (!loaded || position >= windowEnd_) {
            progress_.progressPos(position / engine_.windowBytes);
            if (!progress_.checkpoint()) {
                summary_.stopped = true;
                break;
            }
            loaded = loadWindow(position);
        }
        expire(position);
        uint64_t next = position + kSector;
        if (readable(position)) {
            const int type = matchStart(position);
            if (type >= 0) next = onStart(type, position);
        }
        next = searchEnds(position, next);
        summary_.bytesScanned = std::min(next, length_);
        position = next;
    }
    progress_.progressPos(windows);

    // Starts still waiting become hits of their rule's approximate size.
    for (size_t type = 0; type < count; ++type) {
        const CarveRule& rule = engine_.carveRules[type];
        auto& pending = pendingStarts_[type];
        for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
            if (rule.approxSize > 0) {
                record(*it, capToVolume(*it, static_cast<uint64_t>(rule.approxSize)),
                       static_cast<int>(type));
            }
        }
        pending.clear();
    }
    return summary_;
}

}  // namespace

Status myJpg::addSignatures(const std::vector<LoadedSignature>& loaded) {
    if (signatureEntries.size() + loaded.size() > kMaxSignatures) {
        return corruptError(
            "too many signatures: " + std::to_string(signatureEntries.size() + loaded.size()) +
            ", at most " + std::to_string(kMaxSignatures));
    }
    for (const LoadedSignature& one : loaded) {
        SignatureEntry entry = one.entry;
        entry.typeId = static_cast<uint8_t>(signatureEntries.size());
        signatureEntries.push_back(entry);
        carveRules.push_back(one.rule);
    }
    return {};
}

Result<CarveSummary> myJpg::carveVolume(const VolumeView& view, Progress& progress,
                                        const std::function<void(size_t)>& onHit) {
    Scan scan(*this, view, progress, onHit);
    return scan.run();
}

std::string myJpg::hitText(size_t hitIndex) const {
    if (hitIndex >= hits.size()) return {};
    const CarveHit& hit = hits[hitIndex];
    return std::to_string(hit.offset) + " ." + carveRules[hit.typeId].extensionText();
}

}  // namespace prendle::raw
