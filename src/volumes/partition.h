// Finds the volumes of the open disk: from the MBR and its chain of extended boot records,
// from the GPT entry array, or sector by sector. Tests use disks made by sfdisk, sgdisk
// and the mkfs tools, and hand-made tables for loops and limits.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "disk/read_write_interface.h"
#include "volumes/volume_info.h"

namespace prendle {

// The volume list page: status line, records, rows and progress.
class VolumeSearchListener {
public:
    virtual ~VolumeSearchListener() = default;
    virtual void setStatus(const std::string& text) = 0;
    // The standard search appends records; the advanced one also inserts a row at the top.
    virtual void addVolume(const VolumeInfo& volume, bool rowAtTop) = 0;
    virtual void setProgressRange(uint32_t lower, uint32_t upper) = 0;
    virtual void setProgressPos(uint32_t position) = 0;
    virtual void setFilterEnabled(bool enabled) = 0;
};

inline constexpr size_t kMaxGptVolumes = 72;
inline constexpr size_t kMaxExtendedBootRecords = 50;
inline constexpr uint64_t kAdvancedChunkBytes = 1048576;

// "%lld   MB" and "%lld  MB": the list shows sizes with three or two spaces.
std::string sizeTextThreeSpaces(uint64_t megabytes);
std::string sizeTextTwoSpaces(uint64_t megabytes);

}  // namespace prendle

class Partition {
public:
    Partition(readWriteInterface& reader, prendle::VolumeSearchListener& listener)
        : reader_(reader), listener_(listener) {}

    // Partition tables; records are appended in the order found. Returns 0.
    int standardSearch();
    // Sector by sector over [customStart, customEnd] of a disk of diskSectors sectors.
    void advancedSearch(uint64_t diskSectors);

    bool gptEnabled = false;
    std::atomic<bool> stopRequested{false};
    uint64_t customStart = 0;
    uint64_t customEnd = 0;
    bool skipVolumeSize = true;

private:
    void searchGpt(std::span<const uint8_t> firstSectors);
    void searchMbr();
    void addMbrVolume(uint8_t type, uint64_t startSector, uint32_t sectorCount, bool logical);

    readWriteInterface& reader_;
    prendle::VolumeSearchListener& listener_;
    uint64_t volumeNumber_ = 0;
    int ntfsCount_ = 1;
};

namespace prendle {
// Whether sector 1 holds a GPT header ("EFI PART"), for callers that detect the layout.
bool hasGptHeader(readWriteInterface& reader);
}  // namespace prendle
