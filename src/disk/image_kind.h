// Which reader an image file needs, told by its contents.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "disk/read_write_interface.h"

namespace prendle {

enum class ImageKind { Vdi, Vhd, Vmdk, Flat, Qcow2, Vhdx };

const char* imageKindName(ImageKind kind);
// By signature: VDI at 0x40, "conectix" at the start or end, "KDMV" or a VMDK text
// descriptor at the start, "QFI\xfb" (qcow2) or "vhdxfile" at the start; anything else is
// a flat image.
Result<ImageKind> detectImageKind(const std::string& path);
// Readers made here accept a detected VHD under any name.
std::unique_ptr<readWriteInterface> makeReader(ImageKind kind);
// Detects, creates and opens; the error carries the reader's message.
Result<std::unique_ptr<readWriteInterface>> openImage(const std::string& path);

// Opens the parent a differencing image records, looked for beside the child: the recorded
// path as given when it is relative, then its last component in the child's folder.
Result<std::unique_ptr<readWriteInterface>> openParentImage(const std::string& childPath,
                                                            const std::string& recordedName,
                                                            int depth);
// The names to try for a recorded parent, in order.
std::vector<std::string> parentCandidates(const std::string& childPath,
                                          const std::string& recordedName);

}  // namespace prendle
