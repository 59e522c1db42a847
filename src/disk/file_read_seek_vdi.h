// VirtualBox VDI images (dynamic and static): a 472-byte header, a block map of 32-bit
// entries and a data area of whole blocks. Tests compare with qemu-img's raw conversion.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "disk/read_write_interface.h"

namespace prendle {

// Header fields the reader and the image page use.
struct VdiHeader {
    uint32_t formatVersion = 0;             // 0x044
    uint32_t headerSize = 0;                // 0x048
    uint32_t imageType = 0;                 // 0x04C: 1 dynamic, 2 static
    uint32_t blockMapOffset = 0;            // 0x154
    uint32_t dataOffset = 0;                // 0x158
    uint32_t sectorsPerTrack = 0;           // 0x164
    uint64_t diskBytes = 0;                 // 0x170
    uint32_t blockBytes = 0;                // 0x178
    uint32_t blockCount = 0;                // 0x180
    uint32_t allocatedBlocks = 0;           // 0x184
    std::array<uint8_t, 16> uuidCreate{};   // 0x188: this image
    std::array<uint8_t, 16> uuidLinkage{};  // 0x1A8: the parent's uuidCreate (differencing)
};

inline constexpr uint32_t kVdiDifferencingType = 4;

// The VDI file beside `childPath` (in its folder, then the folder above, as VirtualBox keeps
// snapshots in a subfolder of the base disk's) whose creation UUID is `uuid`; the path is
// given relative to the child's folder, empty when none is found.
std::string findVdiByUuid(const std::string& childPath, const std::array<uint8_t, 16>& uuid);

inline constexpr size_t kVdiHeaderBytes = 472;
// Map entries at or above this value are blocks the file does not store: 0xFFFFFFFF is
// "never written", 0xFFFFFFFE is VirtualBox's discarded (zero) block.
inline constexpr uint32_t kVdiFirstUnstoredEntry = 0xFFFFFFFE;

Result<VdiHeader> decodeVdiHeader(std::span<const uint8_t> bytes);

// Size values typed on the image page; zero means "take the header's".
struct VdiOverrides {
    uint64_t diskBytes = 0;
    uint32_t blockBytes = 0;
    uint64_t blockCount = 0;
};

}  // namespace prendle

class FileReadSeekVdi : public readWriteInterface {
public:
    // Takes the overrides from the run-wide state.
    bool open(const std::string& fileName) override;
    bool openWith(const std::string& fileName, const prendle::VdiOverrides& typed);
    // Sizes typed on the image page; open() applies them.
    prendle::VdiOverrides overrides;
    prendle::ContainerInfo info() const override;

    const prendle::VdiHeader& header() const { return header_; }
    uint64_t mapEntryCount() const { return blockMap_.size(); }
    uint64_t diskSectors() const { return diskSectors_; }

protected:
    prendle::Result<prendle::StoredRun> mapRun(uint64_t diskPosition,
                                               uint64_t maxLength) const override;
    bool readDecoded(const prendle::StoredRun& run, uint64_t diskPosition,
                     std::span<uint8_t> out) const override;

private:
    std::array<uint8_t, prendle::kVdiHeaderBytes> headerBytes_{};
    prendle::VdiHeader header_;
    std::vector<uint32_t> blockMap_;
    uint64_t diskSectors_ = 0;
};
