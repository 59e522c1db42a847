// A volume seen through the disk: the sector source, the volume's first byte and its
// length. Parsers read volume offsets through it and never move a shared origin, so a
// parse, saves on several threads and a carver can read side by side.
#pragma once

#include <cstdint>
#include <span>

#include "common/checked.h"
#include "disk/read_write_interface.h"

namespace prendle {

struct VolumeView {
    const readWriteInterface* reader = nullptr;
    uint64_t firstByte = 0;
    uint64_t length = 0;  // bytes from firstByte to the end of the disk (or the volume)

    // The view of a volume that starts at startSector and runs to the end of the disk.
    static VolumeView toDiskEnd(const readWriteInterface& reader, uint64_t startSector) {
        VolumeView view;
        view.reader = &reader;
        view.firstByte = checkedMul(startSector, kSectorBytes).value_or(reader.mappedBytes());
        view.length = reader.mappedBytes() > view.firstByte ? reader.mappedBytes() - view.firstByte : 0;
        return view;
    }

    // Reads at a volume offset. A part beyond the view reads as zeros and makes the
    // result false, as the sector source does past the disk.
    bool readAt(uint64_t offset, std::span<uint8_t> out) const {
        if (reader == nullptr) return false;
        auto end = checkedAdd(offset, uint64_t{out.size()});
        if (!end || *end > length) {
            const uint64_t inside = offset < length ? length - offset : 0;
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(inside, out.size())),
                      out.end(), uint8_t{0});
            if (inside > 0) (void)reader->readDiskAt(firstByte + offset, out.first(inside));
            return false;
        }
        return reader->readDiskAt(firstByte + offset, out);
    }
};

}  // namespace prendle
