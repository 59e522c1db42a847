// A sector source over bytes in memory: the whole vector is the disk and every byte is
// stored. Parser tests read hand-made or unpacked volumes through it, with no temporary
// file and no global reader.
#pragma once

#include <cstring>
#include <utility>
#include <vector>

#include "disk/read_write_interface.h"

namespace prendle {

class MemorySectorSource : public readWriteInterface {
public:
    explicit MemorySectorSource(std::vector<uint8_t> disk) : disk_(std::move(disk)) {
        setMappedBytes(disk_.size());
        setTotalSectors(disk_.size() / kSectorBytes);
        containerLength = disk_.size();
    }
    bool open(const std::string&) override { return true; }
    ContainerInfo info() const override {
        ContainerInfo out;
        out.kind = "memory";
        out.virtualBytes = disk_.size();
        return out;
    }
    const std::vector<uint8_t>& bytes() const { return disk_; }

protected:
    Result<StoredRun> mapRun(uint64_t diskPosition, uint64_t maxLength) const override {
        return StoredRun{true, diskPosition, maxLength};
    }
    bool readStored(uint64_t fileOffset, std::span<uint8_t> out) const override {
        std::memcpy(out.data(), disk_.data() + fileOffset, out.size());
        return true;
    }

private:
    std::vector<uint8_t> disk_;
};

}  // namespace prendle
