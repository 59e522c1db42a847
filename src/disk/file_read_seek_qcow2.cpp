#include "disk/file_read_seek_qcow2.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "disk/decompress.h"

using namespace prendle;

namespace prendle {

namespace {

// qemu accepts clusters of 512 bytes to 2 MiB.
constexpr uint32_t kMinClusterBits = 9;
constexpr uint32_t kMaxClusterBits = 21;
// qemu's own limit on the L1 table (32 MiB); it bounds the allocation below.
constexpr uint64_t kMaxL1Entries = 32 * 1024 * 1024 / 8;
// qemu keeps backing file names below 1 KiB.
constexpr uint32_t kMaxBackingNameBytes = 1023;
// L2 tables kept at once.
constexpr uint64_t kMaxCachedL2Bytes = 64 * 1024 * 1024;
constexpr uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00;
constexpr uint64_t kCompressedBit = uint64_t{1} << 62;
// A decoded run's marker for "read the backing file"; compressed entries carry bit 62.
constexpr uint64_t kBackingMarker = 0;
constexpr uint32_t kSubclusters = 32;

enum class Piece { Data, Zero, Unallocated, Compressed };

struct Classified {
    Piece piece = Piece::Unallocated;
    uint64_t value = 0;  // host offset for data, the L2 entry for a compressed cluster
};

}  // namespace

Result<Qcow2Header> decodeQcow2Header(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    Qcow2Header header;
    header.magic = reader.be32();
    header.version = reader.be32();
    header.backingFileOffset = reader.be64();
    header.backingFileBytes = reader.be32();
    header.clusterBits = reader.be32();
    header.virtualBytes = reader.be64();
    header.cryptMethod = reader.be32();
    header.l1Entries = reader.be32();
    header.l1TableOffset = reader.be64();
    reader.seek(60);
    header.snapshotCount = reader.be32();
    if (!reader.ok()) return corruptError("qcow2 header: " + reader.error());
    if (header.version >= 3) {
        reader.seek(72);
        header.incompatibleFeatures = reader.be64();
        reader.seek(96);
        header.refcountOrder = reader.be32();
        header.headerBytes = reader.be32();
        if (header.headerBytes > 104 && bytes.size() > 104) {
            reader.seek(104);
            header.compressionType = reader.u8();
        }
        if (!reader.ok()) return corruptError("qcow2 version 3 header: " + reader.error());
    }
    return header;
}

}  // namespace prendle

bool FileReadSeekQcow2::open(const std::string& fileName) {
    l1_.clear();
    l2Cache_.clear();
    cachedBytes_ = 0;
    lastCompressed_.reset();
    lastCompressedEntry_ = 0;
    backingName_.clear();
    if (!openContainer(fileName)) return false;

    std::array<uint8_t, 512> first{};
    auto got = container_.readAt(0, first);
    if (!got) return failOpen(got.error());
    auto decoded = decodeQcow2Header(std::span<const uint8_t>(first).first(got.value()));
    if (!decoded) return failOpen(decoded.error());
    header_ = decoded.value();
    if (header_.magic != kQcow2Magic)
        return failOpen(corruptError("qcow2: no \"QFI\\xfb\" signature at the start"));
    if (header_.version < 2 || header_.version > 3)
        return failOpen(
            unsupportedError("qcow2: version " + std::to_string(header_.version) +
                             ", only 2 and 3 are read"),
            "This qcow2 version (" + std::to_string(header_.version) + ") is not supported");
    if (header_.cryptMethod != 0)
        return failOpen(unsupportedError("qcow2: encrypted (method " +
                                         std::to_string(header_.cryptMethod) + ")"),
                        "Encrypted qcow2 images are not supported");
    const uint64_t known = kQcow2DirtyBit | kQcow2CorruptBit | kQcow2ExternalDataBit |
                           kQcow2CompressionTypeBit | kQcow2ExtendedL2Bit;
    if (header_.incompatibleFeatures & ~known)
        return failOpen(unsupportedError("qcow2: unknown incompatible features 0x" +
                                         [&] {
                                             char text[32];
                                             std::snprintf(text, sizeof text, "%llx",
                                                           static_cast<unsigned long long>(
                                                               header_.incompatibleFeatures));
                                             return std::string(text);
                                         }()),
                        "This qcow2 image uses features this program does not know");
    if (header_.incompatibleFeatures & kQcow2ExternalDataBit)
        return failOpen(unsupportedError("qcow2: the data lies in an external data file"),
                        "qcow2 images with an external data file are not supported");
    if (header_.clusterBits < kMinClusterBits || header_.clusterBits > kMaxClusterBits)
        return failOpen(corruptError("qcow2: cluster bits " + std::to_string(header_.clusterBits) +
                                     ", expected " + std::to_string(kMinClusterBits) + " to " +
                                     std::to_string(kMaxClusterBits)));
    if ((header_.incompatibleFeatures & kQcow2CompressionTypeBit) == 0) header_.compressionType = 0;
    if (header_.compressionType > 1)
        return failOpen(
            unsupportedError("qcow2: compression type " + std::to_string(header_.compressionType)));
    extendedL2_ = (header_.incompatibleFeatures & kQcow2ExtendedL2Bit) != 0;
    clusterBytes_ = uint64_t{1} << header_.clusterBits;
    // Extended entries need subclusters of at least 512 bytes; qemu requires 16 KiB clusters.
    if (extendedL2_ && header_.clusterBits < 14)
        return failOpen(corruptError("qcow2: extended L2 entries with " +
                                     std::to_string(clusterBytes_) + "-byte clusters"));
    subclusterBytes_ = extendedL2_ ? clusterBytes_ / kSubclusters : clusterBytes_;
    l2Entries_ = clusterBytes_ / (extendedL2_ ? 16 : 8);

    // The L1 table: bounded by qemu's limit and by the file before it sizes a read.
    const uint64_t l1Bytes = uint64_t{header_.l1Entries} * 8;
    if (header_.l1Entries > kMaxL1Entries || header_.l1TableOffset > containerLength ||
        l1Bytes > containerLength - header_.l1TableOffset)
        return failOpen(corruptError(
            "qcow2 L1 table at offset " + std::to_string(header_.l1TableOffset) + " with " +
            std::to_string(header_.l1Entries) + " entries runs past the end of the " +
            std::to_string(containerLength) + "-byte file"));
    std::vector<uint8_t> raw(l1Bytes);
    auto l1Got = container_.readAt(header_.l1TableOffset, raw);
    if (!l1Got) return failOpen(l1Got.error());
    if (l1Got.value() < raw.size())
        return failOpen(corruptError("qcow2 L1 table: the file ended while it was read"));
    l1_.resize(header_.l1Entries);
    ByteReader l1Reader(raw);
    for (auto& entry : l1_) entry = l1Reader.be64() & kOffsetMask;

    if (header_.backingFileOffset != 0 && header_.backingFileBytes != 0) {
        if (header_.backingFileBytes > kMaxBackingNameBytes ||
            header_.backingFileOffset > containerLength ||
            header_.backingFileBytes > containerLength - header_.backingFileOffset)
            return failOpen(corruptError("qcow2 backing file name at offset " +
                                         std::to_string(header_.backingFileOffset) + " of " +
                                         std::to_string(header_.backingFileBytes) +
                                         " bytes lies outside the file"));
        backingName_.resize(header_.backingFileBytes);
        auto nameGot = container_.readAt(
            header_.backingFileOffset,
            std::span(reinterpret_cast<uint8_t*>(backingName_.data()), backingName_.size()));
        if (!nameGot) return failOpen(nameGot.error());
        backingName_.resize(nameGot.value());
    }

    setMappedBytes(header_.virtualBytes);
    if (!backingName_.empty() && !attachParent(backingName_)) return false;
    setTotalSectors(header_.virtualBytes / kSectorBytes);
    return true;
}

Result<std::shared_ptr<const FileReadSeekQcow2::L2Table>> FileReadSeekQcow2::l2Table(
    uint64_t l1Index) const {
    {
        std::lock_guard lock(cacheMutex_);
        auto found = l2Cache_.find(l1Index);
        if (found != l2Cache_.end()) return found->second;
    }
    const uint64_t offset = l1_[l1Index];
    std::vector<uint8_t> raw(clusterBytes_);
    auto got = container_.readAt(offset, raw);
    if (!got) return got.error();
    if (got.value() < raw.size())
        return corruptError("qcow2 L2 table " + std::to_string(l1Index) + " at offset " +
                            std::to_string(offset) + " lies past the end of the " +
                            std::to_string(containerLength) + "-byte file");
    auto table = std::make_shared<L2Table>(clusterBytes_ / 8);
    ByteReader reader(raw);
    for (auto& entry : *table) entry = reader.be64();
    std::lock_guard lock(cacheMutex_);
    if (cachedBytes_ + clusterBytes_ > kMaxCachedL2Bytes) {
        l2Cache_.clear();
        cachedBytes_ = 0;
    }
    auto [at, inserted] = l2Cache_.emplace(l1Index, std::move(table));
    if (inserted) cachedBytes_ += clusterBytes_;
    return at->second;
}

Result<StoredRun> FileReadSeekQcow2::mapRun(uint64_t diskPosition, uint64_t maxLength) const {
    const uint64_t l2SpanBytes = l2Entries_ * clusterBytes_;
    const uint64_t l1Index = diskPosition / l2SpanBytes;
    const uint64_t withinTable = diskPosition % l2SpanBytes;
    auto unallocated = [&](uint64_t length) {
        if (parent_) return StoredRun{false, kBackingMarker, length, true};
        return StoredRun{false, 0, length};
    };
    if (l1Index >= l1_.size() || l1_[l1Index] == 0)
        return unallocated(std::min(maxLength, l2SpanBytes - withinTable));
    auto table = l2Table(l1Index);
    if (!table) return table.error();
    const L2Table& entries = *table.value();

    const uint64_t subsPerSlot = extendedL2_ ? uint64_t{kSubclusters} : uint64_t{1};
    auto classify = [&](uint64_t subIndex) {
        const uint64_t slot = subIndex / subsPerSlot;
        const uint64_t entry = entries[extendedL2_ ? slot * 2 : slot];
        if (entry & kCompressedBit) return Classified{Piece::Compressed, entry};
        const uint64_t host = entry & kOffsetMask;
        if (!extendedL2_) {
            if (header_.version >= 3 && (entry & 1)) return Classified{Piece::Zero, 0};
            if (host == 0) return Classified{Piece::Unallocated, 0};
            return Classified{Piece::Data, host};
        }
        const uint64_t bitmap = entries[slot * 2 + 1];
        const uint64_t sub = subIndex % subsPerSlot;
        if ((bitmap >> sub) & 1) {
            if (host == 0) return Classified{Piece::Zero, 0};
            return Classified{Piece::Data, host + sub * subclusterBytes_};
        }
        if ((bitmap >> (32 + sub)) & 1) return Classified{Piece::Zero, 0};
        return Classified{Piece::Unallocated, 0};
    };

    const uint64_t subCount = l2Entries_ * subsPerSlot;
    uint64_t subIndex = withinTable / subclusterBytes_;
    const Classified first = classify(subIndex);
    if (first.piece == Piece::Compressed) {
        const uint64_t withinCluster = diskPosition % clusterBytes_;
        return StoredRun{false, first.value, std::min(maxLength, clusterBytes_ - withinCluster),
                         true};
    }
    const uint64_t withinSub = withinTable % subclusterBytes_;
    uint64_t length = subclusterBytes_ - withinSub;
    // Neighbours of the same kind (and, for data, following on in the file) join the run.
    while (length < maxLength && ++subIndex < subCount) {
        const Classified next = classify(subIndex);
        if (next.piece != first.piece) break;
        if (first.piece == Piece::Data && next.value != first.value + withinSub + length) break;
        length += subclusterBytes_;
    }
    length = std::min(length, maxLength);
    switch (first.piece) {
        case Piece::Data:
            return StoredRun{true, first.value + withinSub, length};
        case Piece::Zero:
            return StoredRun{false, 0, length};
        default:
            return unallocated(length);
    }
}

Result<std::shared_ptr<const std::vector<uint8_t>>> FileReadSeekQcow2::compressedCluster(
    uint64_t entry) const {
    {
        std::lock_guard lock(cacheMutex_);
        if (lastCompressed_ && lastCompressedEntry_ == entry) return lastCompressed_;
    }
    // The entry packs the host offset below a count of extra 512-byte sectors.
    const uint32_t sizeShift = 62 - (header_.clusterBits - 8);
    const uint64_t sizeMask = (uint64_t{1} << (header_.clusterBits - 8)) - 1;
    const uint64_t hostOffset = entry & ((uint64_t{1} << sizeShift) - 1);
    const uint64_t sectors = ((entry >> sizeShift) & sizeMask) + 1;
    uint64_t compressedBytes = sectors * kSectorBytes - (hostOffset % kSectorBytes);
    if (hostOffset >= containerLength)
        return corruptError("qcow2 compressed cluster at offset " + std::to_string(hostOffset) +
                            " lies past the end of the " + std::to_string(containerLength) +
                            "-byte file");
    // The last cluster of a file may end before its rounded sector count.
    compressedBytes = std::min(compressedBytes, containerLength - hostOffset);
    std::vector<uint8_t> in(compressedBytes);
    auto got = container_.readAt(hostOffset, in);
    if (!got) return got.error();
    in.resize(got.value());
    auto cluster = std::make_shared<std::vector<uint8_t>>(clusterBytes_);
    const Compression method =
        header_.compressionType == 1 ? Compression::Zstd : Compression::DeflateRaw;
    auto produced = decompressInto(method, in, *cluster);
    if (!produced)
        return Error{produced.error().kind, "qcow2 compressed cluster at offset " +
                                                std::to_string(hostOffset) + ": " +
                                                produced.error().message};
    if (produced.value() < clusterBytes_)
        return corruptError("qcow2 compressed cluster at offset " + std::to_string(hostOffset) +
                            " holds " + std::to_string(produced.value()) + " of " +
                            std::to_string(clusterBytes_) + " bytes");
    std::lock_guard lock(cacheMutex_);
    lastCompressedEntry_ = entry;
    lastCompressed_ = cluster;
    return std::shared_ptr<const std::vector<uint8_t>>(std::move(cluster));
}

bool FileReadSeekQcow2::readDecoded(const StoredRun& run, uint64_t diskPosition,
                                    std::span<uint8_t> out) const {
    if (run.fileOffset == kBackingMarker) return readParent(diskPosition, out);
    auto cluster = compressedCluster(run.fileOffset);
    if (!cluster) {
        std::memset(out.data(), 0, out.size());
        recordError(cluster.error());
        return false;
    }
    const uint64_t within = diskPosition % clusterBytes_;
    std::memcpy(out.data(), cluster.value()->data() + within, out.size());
    return true;
}

ContainerInfo FileReadSeekQcow2::info() const {
    ContainerInfo out;
    out.kind = "qcow2 (version " + std::to_string(header_.version) + ")";
    out.virtualBytes = header_.virtualBytes;
    out.blockBytes = clusterBytes_;
    out.blockCount = clusterBytes_ ? divideRoundingUp(header_.virtualBytes, clusterBytes_) : 0;
    // Counting reads every L2 table; past 64 MiB of them the count is left at 0.
    uint64_t tableBytes = 0;
    for (uint64_t i = 0; i < l1_.size(); ++i) {
        if (l1_[i] == 0) continue;
        tableBytes += clusterBytes_;
        if (tableBytes > kMaxCachedL2Bytes) {
            out.allocatedBlocks = 0;
            break;
        }
        auto table = l2Table(i);
        if (!table) continue;
        const auto& entries = *table.value();
        for (uint64_t slot = 0; slot < l2Entries_; ++slot) {
            const uint64_t entry = entries[extendedL2_ ? slot * 2 : slot];
            if ((entry & kCompressedBit) || (entry & kOffsetMask)) ++out.allocatedBlocks;
        }
    }
    std::string features;
    if (header_.incompatibleFeatures & kQcow2DirtyBit) features += "dirty ";
    if (header_.incompatibleFeatures & kQcow2CorruptBit) features += "marked corrupt ";
    if (extendedL2_) features += "extended L2 ";
    if (!features.empty()) features.pop_back();
    out.details = {{"compression", header_.compressionType == 1 ? "zstd" : "zlib"},
                   {"snapshots", std::to_string(header_.snapshotCount)},
                   {"features", features},
                   {"backing file", backingName_}};
    return out;
}
