// Writes the whole virtual disk into a flat image file, in 5 MiB chunks, with progress,
// status texts and stop. The page (or prendle-cli) supplies the listener.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/file_handle.h"
#include "disk/image_kind.h"
#include "disk/session.h"

namespace prendle {

class ExportListener {
public:
    virtual ~ExportListener() = default;
    // An information message box owned by the page.
    virtual void showMessage(const std::string& text) = 0;
    virtual void setStatus(const std::string& text) = 0;
    virtual void setProgressRange(uint32_t lower, uint32_t upper) = 0;
    virtual void setProgressPos(uint32_t position) = 0;
    // Next, Back, "Save Image" and "Save Disk Image".
    virtual void setControlsEnabled(bool enabled) = 0;
    // The progress bar and Stop.
    virtual void setProgressVisible(bool visible) = 0;
};

inline constexpr uint64_t kExportChunkBytes = 0x500000;
inline constexpr uint64_t kExportProgressStepBytes = 0xA00000;

// "disk.vdi" in folder F gives F/disk.vdi.img, then F/1disk.vdi.img, F/2disk.vdi.img...;
// an image path without a folder gives "Recovered_diskimg.img", numbered the same way.
std::string exportDestinationName(const std::string& folder, const std::string& imagePath,
                                  const std::function<bool(const std::string&)>& exists);

// The pieces of `pieces` (offset, length into `bytes`) left after taking out every aligned
// 4 KiB run of zeros, so that the copy leaves holes there as qemu-img does.
inline constexpr size_t kZeroRunBytes = 4096;
std::vector<std::pair<size_t, size_t>> withoutZeroRuns(
    std::span<const uint8_t> bytes, const std::vector<std::pair<size_t, size_t>>& pieces);

// The status text after each chunk.
std::string exportStatusText(uint64_t doneBytes, uint64_t totalBytes);

struct ExportRequest {
    std::string imagePath;
    ImageKind kind = ImageKind::Vdi;
    std::string destination;
};

enum class ExportOutcome { Saved, Stopped, Failed };

// Runs the export on the calling thread through the session's reader (a new one when the
// image page chose the image); afterwards the reader is gone. Each export starts with the
// stop flag cleared, and clears it when it has been obeyed.
ExportOutcome runDiskExport(Session& session, const ExportRequest& request,
                            ExportListener& listener, std::atomic<bool>& stopFlag);

}  // namespace prendle
