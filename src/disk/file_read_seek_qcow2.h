// QEMU qcow2 images, versions 2 and 3: a big-endian header, an L1 table of L2 tables,
// standard, zero, compressed (deflate or zstd) clusters, extended L2 entries with
// subclusters, and a backing file read where the image stores nothing. Refcounts and
// snapshots are not needed to read the active disk. Tests compare with qemu-img.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "disk/read_write_interface.h"

namespace prendle {

struct Qcow2Header {
    uint32_t magic = 0;                 // 0: "QFI\xfb"
    uint32_t version = 0;               // 4
    uint64_t backingFileOffset = 0;     // 8
    uint32_t backingFileBytes = 0;      // 16
    uint32_t clusterBits = 0;           // 20
    uint64_t virtualBytes = 0;          // 24
    uint32_t cryptMethod = 0;           // 32
    uint32_t l1Entries = 0;             // 36
    uint64_t l1TableOffset = 0;         // 40
    uint32_t snapshotCount = 0;         // 60
    uint64_t incompatibleFeatures = 0;  // 72 (version 3)
    uint32_t refcountOrder = 4;         // 96 (version 3)
    uint32_t headerBytes = 72;          // 100 (version 3)
    uint8_t compressionType = 0;        // 104 (version 3, when the header reaches it)
};

inline constexpr uint32_t kQcow2Magic = 0x514649FB;
inline constexpr uint64_t kQcow2DirtyBit = 1;
inline constexpr uint64_t kQcow2CorruptBit = 2;
inline constexpr uint64_t kQcow2ExternalDataBit = 4;
inline constexpr uint64_t kQcow2CompressionTypeBit = 8;
inline constexpr uint64_t kQcow2ExtendedL2Bit = 16;

Result<Qcow2Header> decodeQcow2Header(std::span<const uint8_t> bytes);

}  // namespace prendle

class FileReadSeekQcow2 : public readWriteInterface {
public:
    bool open(const std::string& fileName) override;
    prendle::ContainerInfo info() const override;

    const prendle::Qcow2Header& header() const { return header_; }
    const std::string& backingFileName() const { return backingName_; }

protected:
    prendle::Result<prendle::StoredRun> mapRun(uint64_t diskPosition,
                                               uint64_t maxLength) const override;
    bool readDecoded(const prendle::StoredRun& run, uint64_t diskPosition,
                     std::span<uint8_t> out) const override;

private:
    using L2Table = std::vector<uint64_t>;
    prendle::Result<std::shared_ptr<const L2Table>> l2Table(uint64_t l1Index) const;
    prendle::Result<std::shared_ptr<const std::vector<uint8_t>>> compressedCluster(
        uint64_t entry) const;

    prendle::Qcow2Header header_;
    std::string backingName_;
    bool extendedL2_ = false;
    uint64_t clusterBytes_ = 0;
    uint64_t subclusterBytes_ = 0;
    uint64_t l2Entries_ = 0;
    std::vector<uint64_t> l1_;
    // L2 tables are read on first use and kept, within a bound on their bytes.
    mutable std::mutex cacheMutex_;
    mutable std::map<uint64_t, std::shared_ptr<const L2Table>> l2Cache_;
    mutable uint64_t cachedBytes_ = 0;
    mutable uint64_t lastCompressedEntry_ = 0;
    mutable std::shared_ptr<const std::vector<uint8_t>> lastCompressed_;
};
