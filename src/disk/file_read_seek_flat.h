// A flat (raw) disk image: the file is the disk, sector for sector.
#pragma once

#include "disk/read_write_interface.h"

class FileReadSeekFlat : public readWriteInterface {
public:
    bool open(const std::string& fileName) override;
    prendle::ContainerInfo info() const override;

protected:
    prendle::Result<prendle::StoredRun> mapRun(uint64_t diskPosition,
                                               uint64_t maxLength) const override;
};
