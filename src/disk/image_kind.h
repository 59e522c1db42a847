// Which reader an image file needs, told by its contents.
#pragma once

#include <memory>
#include <string>

#include "common/error.h"
#include "disk/read_write_interface.h"

namespace prendle {

enum class ImageKind { Vdi, Vhd, Vmdk, Flat };

const char* imageKindName(ImageKind kind);
// By signature: VDI at 0x40, "conectix" at the start or end, "KDMV" at the start;
// anything else is a flat image.
Result<ImageKind> detectImageKind(const std::string& path);
// Readers made here accept a detected VHD under any name.
std::unique_ptr<readWriteInterface> makeReader(ImageKind kind);
// Detects, creates and opens; the error carries the reader's message.
Result<std::unique_ptr<readWriteInterface>> openImage(const std::string& path);

}  // namespace prendle
