#include "disk/file_read_seek_flat.h"

using namespace prendle;

bool FileReadSeekFlat::open(const std::string& fileName) {
    if (!openContainer(fileName)) return false;
    setTotalSectors(containerLength / kSectorBytes);
    setMappedBytes(containerLength);
    return true;
}

Result<StoredRun> FileReadSeekFlat::mapRun(uint64_t diskPosition, uint64_t maxLength) const {
    return StoredRun{true, diskPosition, maxLength};
}

ContainerInfo FileReadSeekFlat::info() const {
    ContainerInfo out;
    out.kind = "flat";
    out.virtualBytes = containerLength;
    return out;
}
