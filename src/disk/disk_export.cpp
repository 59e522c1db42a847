#include "disk/disk_export.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "common/checked.h"
#include "common/file_handle.h"
#include "disk/session.h"

namespace prendle {

namespace {

constexpr const char* kImageSavedText = "Image Saved,Choose any one of the mode and click next.";

uint64_t freeBytesAt(const std::string& path) {
    std::string folder = path.substr(0, path.find_last_of('/') + 1);
    if (folder.empty()) folder = ".";
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return UINT64_MAX;
    return checkedMul(info.f_bavail, info.f_frsize).value_or(UINT64_MAX);
}

bool isAllZero(const uint8_t* data, size_t length) {
    // OR-ing whole words lets the compiler vectorise; the early test runs once per run.
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        any |= word;
    }
    for (; i < length; ++i) any |= data[i];
    return any == 0;
}

}  // namespace

std::vector<std::pair<size_t, size_t>> withoutZeroRuns(
    std::span<const uint8_t> bytes, const std::vector<std::pair<size_t, size_t>>& pieces) {
    std::vector<std::pair<size_t, size_t>> out;
    size_t pieceStart = 0;
    // Joins only inside one input piece, so that each output piece lies in one of them.
    auto add = [&out, &pieceStart](size_t offset, size_t length) {
        if (length == 0) return;
        if (!out.empty() && out.back().first + out.back().second == offset &&
            out.back().first >= pieceStart) {
            out.back().second += length;
        } else {
            out.emplace_back(offset, length);
        }
    };
    for (auto [offset, length] : pieces) {
        pieceStart = offset;
        const size_t end = offset + length;
        size_t at = offset;
        while (at < end) {
            // Runs end on 4 KiB boundaries of the chunk, which starts on one of the disk.
            size_t next = std::min(end, (at / kZeroRunBytes + 1) * kZeroRunBytes);
            if (!isAllZero(bytes.data() + at, next - at)) add(at, next - at);
            at = next;
        }
    }
    return out;
}

namespace {

// Clones stored runs from the container file into the output kernel-side (FICLONERANGE),
// which shares the blocks on file systems that offer it (XFS, Btrfs) and copies nothing.
// Elsewhere the bytes already read are written: on ext4 a kernel copy (copy_file_range)
// measured slower than writing them, so it is not used.
class KernelCopy {
public:
    KernelCopy(const std::string& source, const std::string& destination) {
        if (source.empty()) return;
        sourceFd_ = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        destinationFd_ = ::open(destination.c_str(), O_WRONLY | O_CLOEXEC);
    }
    ~KernelCopy() {
        if (sourceFd_ >= 0) ::close(sourceFd_);
        if (destinationFd_ >= 0) ::close(destinationFd_);
    }
    KernelCopy(const KernelCopy&) = delete;
    KernelCopy& operator=(const KernelCopy&) = delete;

    // True when the run was cloned; false when the caller must write the bytes itself.
    bool copy(uint64_t fileOffset, uint64_t outOffset, size_t length) {
        if (sourceFd_ < 0 || destinationFd_ < 0 || !enabled_) return false;
        file_clone_range range{};
        range.src_fd = sourceFd_;
        range.src_offset = fileOffset;
        range.src_length = length;
        range.dest_offset = outOffset;
        if (::ioctl(destinationFd_, FICLONERANGE, &range) == 0) return true;
        // Unaligned runs fail one by one; a file system without clones fails for good.
        if (errno != EINVAL) enabled_ = false;
        return false;
    }

private:
    int sourceFd_ = -1;
    int destinationFd_ = -1;
    bool enabled_ = true;
};

}  // namespace

std::string exportDestinationName(const std::string& folder, const std::string& imagePath,
                                  const std::function<bool(const std::string&)>& exists) {
    std::string base = folder;
    if (base.empty() || base.back() != '/') base += '/';
    size_t slash = imagePath.find_last_of('/');
    std::string name = slash == std::string::npos ? std::string("Recovered_diskimg.img")
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

ExportOutcome runDiskExport(Session& session, const ExportRequest& request,
                            ExportListener& listener, std::atomic<bool>& stopFlag) {
    // Each export starts with its stop cleared: a stop meant for an earlier one is stale.
    stopFlag = false;
    auto finish = [&](ExportOutcome outcome) {
        session.reader.reset();
        listener.setProgressVisible(false);
        listener.setControlsEnabled(true);
        return outcome;
    };

    if (session.sourceDialogId == kImagePageDialogId) session.makeReaderFor(request.kind);
    if (!session.reader) {
        listener.showMessage("Information lost, please click Back button and parse again");
        return ExportOutcome::Failed;
    }
    listener.setControlsEnabled(false);
    if (!session.reader->open(request.imagePath)) {
        if (!session.reader->userMessage().empty())
            listener.showMessage(session.reader->userMessage());
        listener.setStatus("The image cannot be read: " + session.reader->lastError());
        return finish(ExportOutcome::Failed);
    }

    uint64_t totalSectors = session.totalSectors() != 0
                                ? session.totalSectors()
                                : session.reader->containerLength / kSectorBytes;
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
    // Two buffers: the next chunk is read while the current one is written. Only the
    // pieces the container stores are written; the rest stay holes, which read as zeros.
    struct Chunk {
        std::vector<uint8_t> bytes;
        std::vector<std::pair<size_t, size_t>> stored;
        std::vector<uint64_t> fileOffsets;
    };
    std::array<Chunk, 2> chunks;
    try {
        for (auto& chunk : chunks) chunk.bytes.resize(kExportChunkBytes);
    } catch (const std::bad_alloc&) {
        listener.showMessage("Not enough memory for the export buffer");
        return finish(ExportOutcome::Failed);
    }
    listener.setProgressRange(0, static_cast<uint32_t>(totalSectors));
    listener.setProgressPos(0);

    readWriteInterface& reader = *session.reader;
    auto lengthAt = [&](uint64_t at) {
        return static_cast<size_t>(std::min(kExportChunkBytes, totalBytes - at));
    };
    auto readChunk = [&reader, &lengthAt](uint64_t at, Chunk* chunk) {
        std::span<uint8_t> bytes(chunk->bytes.data(), lengthAt(at));
        std::vector<std::pair<size_t, size_t>> read;
        std::vector<uint64_t> readOffsets;
        const bool ok = reader.readDiskAt(at, bytes, &read, &readOffsets);
        if (!ok) return false;
        chunk->stored = withoutZeroRuns(bytes, read);
        // Each piece left lies inside one piece read; its file offset follows from that one.
        chunk->fileOffsets.clear();
        size_t source = 0;
        for (auto [offset, length] : chunk->stored) {
            while (read[source].first + read[source].second <= offset) ++source;
            const uint64_t base = readOffsets[source];
            chunk->fileOffsets.push_back(base == readWriteInterface::kNotInContainer
                                             ? base
                                             : base + (offset - read[source].first));
        }
        return true;
    };
    // Memory sources have no file to copy from.
    KernelCopy kernelCopy(reader.fileName(), request.destination);

    ExportOutcome outcome = ExportOutcome::Saved;
    std::string failureStatus;
    uint64_t position = 0;
    size_t current = 0;
    std::future<bool> pending;
    if (totalBytes > 0) pending = std::async(std::launch::async, readChunk, 0, &chunks[0]);
    while (position < totalBytes) {
        const Chunk& chunk = chunks[current];
        const bool readOk = pending.get();
        const uint64_t next = position + lengthAt(position);
        if (readOk && next < totalBytes)
            pending = std::async(std::launch::async, readChunk, next, &chunks[1 - current]);
        if (!readOk) {
            const int number = reader.lastErrorNumber() != 0 ? reader.lastErrorNumber() : EIO;
            failureStatus = "Exit with error number " + std::to_string(number) + " (" +
                            reader.lastError() + ")";
            listener.setStatus(failureStatus);
            outcome = ExportOutcome::Failed;
            break;
        }
        // One writer: writes to one file serialise on its inode, so a second thread only
        // adds contention.
        Status written;
        for (size_t i = 0; i < chunk.stored.size(); ++i) {
            const auto [offset, length] = chunk.stored[i];
            if (chunk.fileOffsets[i] != readWriteInterface::kNotInContainer &&
                kernelCopy.copy(chunk.fileOffsets[i], position + offset, length))
                continue;
            written =
                out.writeAt(position + offset, std::span(chunk.bytes.data() + offset, length));
            if (!written) break;
        }
        if (!written) {
            const int number = written.error().code;
            listener.showMessage(
                number == ENOSPC ? std::string("Insufficient Disk Space in saving Location")
                                 : "Error " + std::to_string(number) + " while writing in File");
            failureStatus = written.error().message;
            outcome = ExportOutcome::Failed;
            break;
        }
        position = next;
        current = 1 - current;
        if (stopFlag.exchange(false)) {
            outcome = ExportOutcome::Stopped;
            break;
        }
        if (position % kExportProgressStepBytes == 0)
            listener.setProgressPos(static_cast<uint32_t>(position / kSectorBytes));
        listener.setStatus(exportStatusText(position, totalBytes));
    }
    // A chunk read ahead of a stop or an error is dropped once its read has ended.
    if (pending.valid()) pending.wait();

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
