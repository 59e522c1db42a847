#include "ntfs_fuzz.h"

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "disk/file_read_seek_flat.h"
#include "disk/run_state.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_structures.h"

namespace prendle::fuzz {

namespace {

using namespace ntfs_format;

class Quiet : public ParseListener {
    void setStatus(const std::string&) override {}
    void setProgressRange(uint64_t, uint64_t) override {}
    void setProgressPos(uint64_t) override {}
};

void record(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    RecordHeader header = decodeRecordHeader(bytes);
    applyFixups(bytes, header);
    for (const Attribute& a : enumerateAttributes(bytes, header)) {
        auto content = residentContent(bytes, a);
        if (a.type == kFileName) (void)decodeFileName(content);
        if (a.type == kStandardInformation) (void)decodeStandardTimes(content);
        if (a.nonResident)
            (void)decodeRunList(runListBytes(bytes, a), a.lastVcn - a.startVcn + 1, 1u << 20);
    }
}

// A volume of the fuzz bytes: the boot sector, MFT and records all come from the input.
void volume(const uint8_t* data, size_t size) {
    int fd = ::memfd_create("prendle-fuzz", MFD_CLOEXEC);
    if (fd < 0) return;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return;
    }
    resetRunState();
    FileReadSeekFlat reader;
    if (reader.open("/proc/self/fd/" + std::to_string(fd))) {
        Quiet quiet;
        VolumeInfo info;
        info.sizeText = "1";
        for (NtfsMode mode : {NtfsMode::Standard, NtfsMode::Deep}) {
            ntfs parser(reader, info, quiet);
            parser.parse(mode);
            int outFd = ::memfd_create("prendle-fuzz-out", MFD_CLOEXEC);
            for (uint64_t i = 0; i < parser.entryTable.size() && i < 64; ++i) {
                auto sink = FileHandle::createWrite("/proc/self/fd/" + std::to_string(outFd));
                if (sink) (void)parser.extractData(i, sink.value());
            }
            ::close(outFd);
            for (uint64_t i = 0; i < parser.entryTable.size() && i < 64; ++i)
                (void)parser.childrenOf(i);
        }
    }
    ::close(fd);
}

}  // namespace

int fuzzNtfs(const std::string& kind, const uint8_t* data, size_t size) {
    if (kind == "ntfs_record") {
        record(data, size);
    } else if (kind == "ntfs_runlist") {
        (void)decodeRunList(std::span(data, size), size > 0 ? data[0] * 977u : 0, 1u << 30);
    } else if (kind == "lznt1") {
        std::vector<uint8_t> output(size > 0 ? (data[0] & 0x7F) * 1024 + 1 : 1);
        (void)lznt1Decompress(std::span(data, size), output);
    } else if (kind == "ntfs_volume") {
        volume(data, size);
    }
    return 0;
}

}  // namespace prendle::fuzz
