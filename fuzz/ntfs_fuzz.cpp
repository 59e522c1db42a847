#include "ntfs_fuzz.h"

#include <vector>

#include "fs/ntfs/ntfs_structures.h"
#include "volume_fuzz.h"

namespace prendle::fuzz {

namespace {

using namespace ntfs_format;

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
        fuzzVolume("ntfs", data, size);
    }
    return 0;
}

}  // namespace prendle::fuzz
