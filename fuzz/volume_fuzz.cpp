#include "volume_fuzz.h"

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "disk/memory_sector_source.h"
#include "fs/common/tree_walk.h"
#include "fs/file_systems.h"

namespace prendle::fuzz {

int fuzzVolume(const std::string& fileSystemName, const uint8_t* data, size_t size) {
    const fs::FileSystemType* type = nullptr;
    for (const fs::FileSystemType& candidate : fs::fileSystemTypes())
        if (fileSystemName == candidate.name) type = &candidate;
    if (type == nullptr || type->open == nullptr) return 0;
    MemorySectorSource source(std::vector<uint8_t>(data, data + size));
    VolumeInfo info;
    info.sizeText = "1";
    info.kind = type->volumeKinds.empty() ? FileSystemKind::Unknown : type->volumeKinds.front();
    const int outFd = ::memfd_create("prendle-fuzz-out", MFD_CLOEXEC);
    for (fs::ParseMode mode : type->modes) {
        auto fileSystem = type->open(VolumeView::toDiskEnd(source, 0), info, fs::OpenOptions{});
        Progress quiet;
        if (!fileSystem->parse(mode, quiet)) continue;
        uint64_t extracted = 0;
        fs::walkTree(
            *fileSystem, fs::kNoEntry, "", [&](fs::EntryId id, const std::string&, fs::EntryId) {
                (void)fileSystem->displayText(id);
                (void)fileSystem->sizeText(id);
                if (!fileSystem->isFolder(id) && extracted < 64 && outFd >= 0) {
                    ++extracted;
                    if (::ftruncate(outFd, 0) != 0) return true;
                    auto sink = FileHandle::createWrite("/proc/self/fd/" + std::to_string(outFd));
                    if (sink) (void)fileSystem->extract(id, sink.value(), quiet);
                }
                return true;
            });
    }
    if (outFd >= 0) ::close(outFd);
    return 0;
}

}  // namespace prendle::fuzz
