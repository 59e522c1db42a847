// VMware VMDK images with a hosted sparse extent header ("KDMV"), an embedded text
// descriptor, a grain directory and grain tables. Tests compare with qemu-img's raw
// conversion of monolithicSparse images.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "disk/read_write_interface.h"

namespace prendle {

struct VmdkSparseHeader {
    uint32_t magic = 0;                     // 0: 0x564D444B
    uint32_t version = 0;                   // 4
    uint32_t flags = 0;                     // 8
    uint64_t capacitySectors = 0;           // 12
    uint64_t grainSectors = 0;              // 20
    uint64_t descriptorSector = 0;          // 28
    uint64_t descriptorSectors = 0;         // 36
    uint32_t entriesPerGrainTable = 0;      // 44
    uint64_t redundantDirectorySector = 0;  // 48
    uint64_t directorySector = 0;           // 56
    uint16_t compressAlgorithm = 0;         // 77
};

inline constexpr uint32_t kVmdkSparseMagic = 0x564D444B;
inline constexpr uint64_t kVmdkDirectoryAtEnd = UINT64_MAX;
inline constexpr uint32_t kVmdkCompressedFlag = 1u << 16;
inline constexpr uint32_t kVmdkMarkerFlag = 1u << 17;

struct VmdkExtent {
    uint64_t sectors = 0;
    std::string type;
    std::string fileName;
    uint64_t startSector = 0;  // where a flat extent's data starts in its file
};

// Values of the embedded descriptor the image page shows.
struct VmdkDescriptor {
    std::string version, cid, parentCid, createType, parentFileNameHint;
    std::string cylinders, heads, sectors;
    std::vector<VmdkExtent> extents;
};

Result<VmdkSparseHeader> decodeVmdkSparseHeader(std::span<const uint8_t> bytes);
// Fails when the createType key is missing, as the reader's open does.
Result<VmdkDescriptor> parseVmdkDescriptor(std::string_view text);
// The extent lines of a descriptor file, wherever they stand: access, sectors, type, then a
// quoted file name and an offset in sectors (ZERO extents have neither).
std::vector<VmdkExtent> parseVmdkExtentLines(std::string_view text);
// A parent is named and the parent CID is not the "no parent" value.
bool hasParentHint(const VmdkDescriptor& descriptor);

}  // namespace prendle

class FileReadSeekVmdk : public readWriteInterface {
public:
    bool open(const std::string& fileName) override;

private:
    bool openSparse(const std::string& fileName);

public:
    prendle::ContainerInfo info() const override;

    const prendle::VmdkSparseHeader& header() const { return header_; }
    const prendle::VmdkDescriptor& descriptor() const { return descriptor_; }
    uint64_t grainDirectoryCount() const { return grainDirectory_.size(); }

protected:
    prendle::Result<prendle::StoredRun> mapRun(uint64_t diskPosition,
                                               uint64_t maxLength) const override;
    bool readDecoded(const prendle::StoredRun& run, uint64_t diskPosition,
                     std::span<uint8_t> out) const override;

private:
    // One extent of a descriptor file: a flat file, a hosted sparse file or zeros.
    struct Extent {
        uint64_t diskStart = 0;
        uint64_t diskBytes = 0;
        enum class Kind { Flat, Sparse, Zero } kind = Kind::Zero;
        prendle::FileHandle file;
        uint64_t fileStart = 0;
        std::unique_ptr<FileReadSeekVmdk> sparse;
    };
    bool openDescriptorFile();
    prendle::Result<prendle::StoredRun> mapExtentRun(uint64_t diskPosition,
                                                     uint64_t maxLength) const;
    prendle::ContainerInfo extentInfo() const;
    prendle::StoredRun holeRun(uint64_t length) const;
    bool readGrain(uint64_t grainOffset, uint64_t within, std::span<uint8_t> out) const;

    using GrainTable = std::vector<uint32_t>;
    prendle::Result<std::shared_ptr<const GrainTable>> grainTable(uint64_t index) const;

    prendle::VmdkSparseHeader header_;
    prendle::VmdkDescriptor descriptor_;
    bool flatExtent_ = false;
    uint64_t sectorsPerGrainTable_ = 0;
    std::vector<uint32_t> grainDirectory_;
    // Grain tables are read once, on first use, and kept.
    mutable std::mutex tableMutex_;
    mutable std::vector<std::shared_ptr<const GrainTable>> tableCache_;
    mutable uint64_t cachedBytes_ = 0;
    bool compressed_ = false;
    bool grainMarkers_ = false;
    // Where unwritten grains come from: the parent, or (for an extent of a descriptor file)
    // the parent of the whole disk at this extent's start.
    const readWriteInterface* holeSource_ = nullptr;
    uint64_t holeSourceOffset_ = 0;
    std::vector<Extent> extents_;
    bool extentOfDescriptor_ = false;
    mutable uint64_t lastGrainOffset_ = 0;
    mutable std::shared_ptr<const std::vector<uint8_t>> lastGrain_;
};
