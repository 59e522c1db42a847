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

struct VmdkExtent {
    uint64_t sectors = 0;
    std::string type;
    std::string fileName;
};

// Values of the embedded descriptor the image page shows.
struct VmdkDescriptor {
    std::string version, cid, parentCid, createType;
    std::string cylinders, heads, sectors;
    std::vector<VmdkExtent> extents;
};

Result<VmdkSparseHeader> decodeVmdkSparseHeader(std::span<const uint8_t> bytes);
// Fails when the createType key is missing, as the reader's open does.
Result<VmdkDescriptor> parseVmdkDescriptor(std::string_view text);

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

private:
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
};
