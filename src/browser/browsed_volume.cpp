#include "browser/browsed_volume.h"

#include "fs/common/file_time.h"

namespace prendle::browser {

void NtfsVolume::parse(int recoveryMode) {
    parser.parse(recoveryMode == 3 ? NtfsMode::Deep : NtfsMode::Standard);
}

bool NtfsVolume::usable(uint64_t record) const {
    return record < parser.entryTable.size() &&
           parser.entryTable[record].signature == ntfs_format::kFileSignature;
}

bool NtfsVolume::isFolder(uint64_t record) const {
    return usable(record) && parser.entryTable[record].kind == 'D';
}

bool NtfsVolume::isDeleted(uint64_t record) const {
    return usable(record) && (parser.entryTable[record].recordFlags & 1) == 0;
}

std::string NtfsVolume::name(uint64_t record) const {
    return record < parser.entryTable.size() ? parser.entryTable[record].name : std::string();
}

Status NtfsVolume::extract(uint64_t record, const std::string& targetPath) {
    if (!usable(record)) return corruptError("not a valid entry...");
    auto file = FileHandle::createWrite(targetPath);
    if (!file) return file.error();
    Status written = parser.extractData(record, file.value());
    file.value().close();
    const MftEntry& e = parser.entryTable[record];
    (void)restoreTimes(targetPath, e.accessed, e.modified);
    return written;
}

}  // namespace prendle::browser
