#include "container_fuzz.h"

#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "disk/file_read_seek_qcow2.h"
#include "disk/file_read_seek_vdi.h"
#include "disk/file_read_seek_vhd.h"
#include "disk/file_read_seek_vhdx.h"
#include "disk/file_read_seek_vmdk.h"

namespace prendle::fuzz {

namespace {

std::unique_ptr<readWriteInterface> readerFor(const std::string& kind) {
    if (kind == "vdi") return std::make_unique<FileReadSeekVdi>();
    if (kind == "vhd") return std::make_unique<FileReadSeekVHD>(/*checkExtension=*/false);
    if (kind == "vmdk") return std::make_unique<FileReadSeekVmdk>();
    if (kind == "qcow2") return std::make_unique<FileReadSeekQcow2>();
    if (kind == "vhdx") return std::make_unique<FileReadSeekVhdx>();
    return nullptr;
}

}  // namespace

int fuzzContainer(const std::string& kind, const uint8_t* data, size_t size) {
    // The readers open by name; an anonymous memory file keeps the fuzzer off the disk.
    int fd = ::memfd_create("prendle-fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        ssize_t put = ::write(fd, data + done, size - done);
        if (put <= 0) break;
        done += static_cast<size_t>(put);
    }
    auto reader = readerFor(kind);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (reader && reader->open(path)) {
        (void)reader->info();
        const uint64_t mapped = reader->mappedBytes();
        std::vector<uint8_t> buffer(64 * 1024);
        // The start, the end and a few places between, plus a read across the end.
        const uint64_t places[] = {0, mapped / 3, mapped / 2, mapped > 4096 ? mapped - 4096 : 0,
                                   mapped > 700 ? mapped - 700 : 0};
        for (uint64_t place : places) (void)reader->readDiskAt(place, buffer);
        if (reader->seek(mapped / 5)) {
            (void)reader->read(buffer.data(), 1536);
            (void)reader->read(buffer.data(), 77);
        }
        reader->readerOrigin = mapped / 7;
        (void)reader->readAt(mapped, buffer);
    }
    ::close(fd);
    return 0;
}

}  // namespace prendle::fuzz
