// What one run of the wizard works on: the open image's reader, where it was chosen and
// the sizes the user typed, the "Is Drive Formated..?" choice and the tree's top text.
// The first page owns it and hands it down the page chain; prendle-cli and tests make
// their own, so nothing reads run-wide globals.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "disk/file_read_seek_vdi.h"
#include "disk/image_kind.h"
#include "disk/read_write_interface.h"

namespace prendle {

inline constexpr uint32_t kImagePageDialogId = 142;

struct Session {
    std::unique_ptr<readWriteInterface> reader;
    uint32_t sourceDialogId = 0;  // the page that chose the image
    VdiOverrides overrides;       // sizes typed on the image page (VDI only)
    bool driveFormatted = false;
    std::string rootName = "ROOT";

    uint64_t totalSectors() const { return reader ? reader->totalSectors() : 0; }
    // Replaces the reader with a new one of this kind that carries the typed sizes; the
    // previous reader is destroyed first.
    readWriteInterface* makeReaderFor(ImageKind kind) {
        reader.reset();
        reader = makeReader(kind);
        if (auto* vdi = dynamic_cast<FileReadSeekVdi*>(reader.get())) vdi->overrides = overrides;
        return reader.get();
    }
};

}  // namespace prendle
