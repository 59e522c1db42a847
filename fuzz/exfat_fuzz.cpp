#include "exfat_fuzz.h"

#include "fs/exfat/exfat_structures.h"

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

}  // namespace

int fuzzExFat(const std::string& kind, const uint8_t* data, size_t size) {
    if (kind == "exfat_entry_set") entrySets(data, size);
    return 0;
}

}  // namespace prendle::fuzz
