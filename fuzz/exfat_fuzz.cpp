#include "exfat_fuzz.h"

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "disk/memory_sector_source.h"
#include "fs/exfat/fat64.h"

namespace prendle::fuzz {

namespace {

void entrySets(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    for (size_t position = 0; position + 32 <= size; position += 32)
        (void)exfat_format::decodeEntrySet(bytes, position);
    if (size >= 4)
        (void)exfat_format::timestampToFileTime(
            static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24),
            data[size - 1], data[size / 2]);
}

// The first byte chooses the formatted-drive option; the rest is the volume.
void volume(const uint8_t* data, size_t size) {
    if (size < 1) return;
    MemorySectorSource source(std::vector<uint8_t>(data + 1, data + size));
    fs::OpenOptions options;
    options.driveFormatted = (data[0] & 1) != 0;
    Fat64Class parser(VolumeView::toDiskEnd(source, 0), VolumeInfo{}, options);
    Progress quiet;
    if (!parser.parse(fs::ParseMode::Standard, quiet).ok()) return;
    const int outFd = ::memfd_create("prendle-fuzz-out", MFD_CLOEXEC);
    if (outFd < 0) return;
    for (uint64_t i = 0; i < parser.entryCount() && i < 64; ++i) {
        (void)parser.children(i);
        (void)parser.displayText(i);
        (void)parser.facts(i);
        if (parser.usable(i) && !parser.isFolder(i)) {
            auto sink = FileHandle::createWrite("/proc/self/fd/" + std::to_string(outFd));
            if (sink) (void)parser.extract(i, sink.value(), quiet);
        }
    }
    ::close(outFd);
}

}  // namespace

int fuzzExFat(const std::string& kind, const uint8_t* data, size_t size) {
    if (kind == "exfat_entry_set")
        entrySets(data, size);
    else if (kind == "volume_exfat")
        volume(data, size);
    return 0;
}

}  // namespace prendle::fuzz
