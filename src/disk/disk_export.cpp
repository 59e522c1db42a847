#include "disk/disk_export.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/checked.h"
#include "common/file_handle.h"
#include "disk/run_state.h"

namespace prendle {

namespace {

constexpr const char* kImageSavedText = "Image Saved,Choose any one of the mode and click next.";
// Zero pieces of this size are skipped, leaving holes that read back as zeros.
constexpr size_t kZeroSkipBytes = 64 * 1024;

bool isAllZero(const uint8_t* data, size_t length) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word != 0) return false;
    }
    for (; i < length; ++i)
        if (data[i] != 0) return false;
    return true;
}

uint64_t freeBytesAt(const std::string& path) {
    std::string folder = path.substr(0, path.find_last_of('/') + 1);
    if (folder.empty()) folder = ".";
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return UINT64_MAX;
    return checkedMul(info.f_bavail, info.f_frsize).value_or(UINT64_MAX);
}

// Writes the non-zero pieces of a chunk; the zero ones stay holes in the file.
Status writeSparse(const FileHandle& out, uint64_t offset, const uint8_t* data, size_t length) {
    size_t start = 0;
    while (start < length) {
        size_t piece = std::min(kZeroSkipBytes, length - start);
        if (isAllZero(data + start, piece)) {
            start += piece;
            continue;
        }
        size_t end = start + piece;
        while (end < length) {
            size_t next = std::min(kZeroSkipBytes, length - end);
            if (isAllZero(data + end, next)) break;
            end += next;
        }
        auto written = out.writeAt(offset + start, std::span(data + start, end - start));
        if (!written) return written;
        start = end;
    }
    return {};
}

}  // namespace

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string exportDestinationName(const std::string& folder, const std::string& imagePath,
                                  const std::function<bool(const std::string&)>& exists) {
    std::string base = folder;
    if (base.empty() || base.back() != '/') base += '/';
    size_t slash = imagePath.find_last_of('/');
    std::string name = slash == std::string::npos
                           ? std::string("Recovered_diskimg.img")
                           : imagePath.substr(slash + 1) + ".img";
    std::string candidate = base + name;
    for (uint64_t n = 1; exists(candidate); ++n) candidate = base + std::to_string(n) + name;
    return candidate;
}

std::string exportStatusText(uint64_t doneBytes, uint64_t totalBytes) {
    char done[64], total[64];
    std::snprintf(done, sizeof done, "%Lf", static_cast<long double>(doneBytes) / (1ull << 30));
    std::snprintf(total, sizeof total, "%Lf", static_cast<long double>(totalBytes) / (1ull << 30));
    return std::to_string(doneBytes / 1048576) + " MB of " + std::to_string(totalBytes / 1048576) +
           " MB or " + done + " GB of " + total + " GB Saved";
}

ExportOutcome runDiskExport(const ExportRequest& request, ExportListener& listener,
                            std::atomic<bool>& stopFlag) {
    auto finish = [&](ExportOutcome outcome) {
        g_reader.reset();
        g_totalSectors = 0;
        listener.setProgressVisible(false);
        listener.setControlsEnabled(true);
        return outcome;
    };

    if (g_sourceDialogId == kImagePageDialogId) {
        g_reader.reset();
        g_reader = makeReader(request.kind);
    }
    if (!g_reader) {
        listener.showMessage("Information lost, please click Back button and parse again");
        return ExportOutcome::Failed;
    }
    listener.setControlsEnabled(false);
    if (!g_reader->open(request.imagePath)) {
        if (!g_reader->userMessage().empty()) listener.showMessage(g_reader->userMessage());
        listener.setStatus("The image cannot be read: " + g_reader->lastError());
        return finish(ExportOutcome::Failed);
    }

    uint64_t totalSectors = g_totalSectors != 0 ? g_totalSectors
                                                : g_reader->containerLength / kSectorBytes;
    // A sector count from a header can be anything; the byte total must not wrap.
    uint64_t totalBytes = checkedMul(totalSectors, kSectorBytes).value_or(0);
    if (totalBytes == 0 && totalSectors != 0) {
        listener.setStatus("The image declares " + std::to_string(totalSectors) +
                           " sectors, more than any disk can hold");
        return finish(ExportOutcome::Failed);
    }

    {
        auto probe = FileHandle::createWrite(request.destination);
        if (!probe) {
            listener.showMessage("File cannot be Created");
            return finish(ExportOutcome::Failed);
        }
        bool enough = freeBytesAt(request.destination) >= totalBytes;
        probe.value().close();
        ::unlink(request.destination.c_str());
        if (!enough) {
            listener.showMessage("Insufficient Disk Space in saving Location");
            return finish(ExportOutcome::Failed);
        }
    }

    auto destination = FileHandle::createWrite(request.destination);
    if (!destination) {
        listener.showMessage("Disk Image file cannot be created");
        return finish(ExportOutcome::Failed);
    }
    const FileHandle& out = destination.value();

    listener.setProgressVisible(true);
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kExportChunkBytes);
    } catch (const std::bad_alloc&) {
        listener.showMessage("Not enough memory for the export buffer");
        return finish(ExportOutcome::Failed);
    }
    listener.setProgressRange(0, static_cast<uint32_t>(totalSectors));
    listener.setProgressPos(0);

    ExportOutcome outcome = ExportOutcome::Saved;
    std::string failureStatus;
    uint64_t position = 0;
    while (position < totalBytes) {
        size_t length = static_cast<size_t>(std::min(kExportChunkBytes, totalBytes - position));
        std::span<uint8_t> chunk(buffer.data(), length);
        if (!g_reader->readDiskAt(position, chunk)) {
            int number = g_reader->lastErrorNumber() != 0 ? g_reader->lastErrorNumber() : EIO;
            failureStatus = "Exit with error number " + std::to_string(number) + " (" +
                            g_reader->lastError() + ")";
            listener.setStatus(failureStatus);
            outcome = ExportOutcome::Failed;
            break;
        }
        auto written = writeSparse(out, position, chunk.data(), chunk.size());
        if (!written) {
            int number = written.error().code;
            listener.showMessage(number == ENOSPC ? std::string("Insufficient Disk Space in saving Location")
                                                  : "Error " + std::to_string(number) +
                                                        " while writing in File");
            failureStatus = written.error().message;
            outcome = ExportOutcome::Failed;
            break;
        }
        position += length;
        if (stopFlag.exchange(false)) {
            outcome = ExportOutcome::Stopped;
            break;
        }
        if (position % kExportProgressStepBytes == 0)
            listener.setProgressPos(static_cast<uint32_t>(position / kSectorBytes));
        listener.setStatus(exportStatusText(position, totalBytes));
    }

    // Holes at the end are not written; the length says where the disk ends.
    auto sized = out.truncate(position);
    if (!sized && outcome != ExportOutcome::Failed) {
        failureStatus = sized.error().message;
        outcome = ExportOutcome::Failed;
    }
    destination.value().close();
    // An error stays in the status line instead of being covered by "Image Saved".
    listener.setStatus(outcome == ExportOutcome::Failed ? failureStatus : kImageSavedText);
    return finish(outcome);
}

}  // namespace prendle
