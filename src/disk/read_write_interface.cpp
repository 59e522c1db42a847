#include "disk/read_write_interface.h"

#include <algorithm>
#include <cstring>

#include "common/checked.h"
#include "disk/image_kind.h"

using namespace prendle;

bool readWriteInterface::openContainer(const std::string& fileName) {
    container_.close();
    parent_.reset();
    fileName_ = fileName;
    userMessage_.clear();
    mappedBytes_ = 0;
    totalSectors_ = 0;
    logicalPosition_ = 0;
    blockAllocated = true;
    auto opened = FileHandle::openRead(fileName);
    if (!opened) return failOpen(opened.error(), "invalid handle ...");
    container_ = std::move(opened.value());
    auto length = container_.size();
    if (!length) return failOpen(length.error(), "invalid handle ...");
    containerLength = length.value();
    return true;
}

bool readWriteInterface::failOpen(const Error& error, std::string userMessage) {
    recordError(error);
    userMessage_ = std::move(userMessage);
    mappedBytes_ = 0;
    return false;
}

void readWriteInterface::recordError(const Error& error) const {
    std::lock_guard lock(errorMutex_);
    lastError_ = error.message;
    lastErrorNumber_ = error.code;
}

std::string readWriteInterface::lastError() const {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

int readWriteInterface::lastErrorNumber() const {
    std::lock_guard lock(errorMutex_);
    return lastErrorNumber_;
}

bool readWriteInterface::seek(uint64_t position, uint32_t /*originMode*/) {
    logicalPosition_ = position;
    auto absolute = checkedAdd(position, readerOrigin);
    if (!absolute || *absolute >= mappedBytes_) {
        recordError(corruptError("seek to disk byte " + std::to_string(position) + " + origin " +
                                 std::to_string(readerOrigin) + " lies outside the " +
                                 std::to_string(mappedBytes_) + "-byte disk"));
        return false;
    }
    auto run = mapRun(*absolute, 1);
    if (!run) {
        recordError(run.error());
        return false;
    }
    blockAllocated = run.value().stored;
    return true;
}

bool readWriteInterface::read(void* buffer, uint32_t byteCount) {
    std::span<uint8_t> out(static_cast<uint8_t*>(buffer), byteCount);
    bool ok = readAt(logicalPosition_, out);
    // Map the following position afresh, as a seek to it would.
    uint64_t next = logicalPosition_ + byteCount;
    logicalPosition_ = next;
    auto absolute = checkedAdd(next, readerOrigin);
    if (absolute && *absolute < mappedBytes_) {
        auto run = mapRun(*absolute, 1);
        blockAllocated = run ? run.value().stored : true;
    } else {
        blockAllocated = true;
    }
    return ok;
}

bool readWriteInterface::readAt(uint64_t position, std::span<uint8_t> out) const {
    auto absolute = checkedAdd(position, readerOrigin);
    if (!absolute) {
        std::memset(out.data(), 0, out.size());
        recordError(corruptError("disk position " + std::to_string(position) + " + origin " +
                                 std::to_string(readerOrigin) + " overflows"));
        return false;
    }
    return readDiskAt(*absolute, out);
}

bool readWriteInterface::readStored(uint64_t fileOffset, std::span<uint8_t> out) const {
    auto got = container_.readAt(fileOffset, out);
    if (!got) {
        std::memset(out.data(), 0, out.size());
        recordError(got.error());
        return false;
    }
    if (got.value() < out.size()) {
        std::memset(out.data() + got.value(), 0, out.size() - got.value());
        recordError(corruptError(
            "stored data at file offset " + std::to_string(fileOffset + got.value()) +
            " lies past the end of the " + std::to_string(containerLength) + "-byte container"));
        return false;
    }
    return true;
}

bool readWriteInterface::readDiskAt(uint64_t diskPosition, std::span<uint8_t> out) const {
    return readDiskAt(diskPosition, out, nullptr);
}

bool readWriteInterface::readDiskAt(uint64_t diskPosition, std::span<uint8_t> out,
                                    std::vector<std::pair<size_t, size_t>>* storedPieces) const {
    return readDiskAt(diskPosition, out, storedPieces, nullptr);
}

bool readWriteInterface::readDiskAt(uint64_t diskPosition, std::span<uint8_t> out,
                                    std::vector<std::pair<size_t, size_t>>* storedPieces,
                                    std::vector<uint64_t>* pieceFileOffsets) const {
    if (storedPieces) storedPieces->clear();
    if (pieceFileOffsets) pieceFileOffsets->clear();
    // A piece of the span that holds data: joined to the previous one when both are next
    // to each other in the span and (when file offsets are wanted) in the file.
    auto addPiece = [&](size_t start, size_t length, uint64_t fileOffset) {
        if (!storedPieces) return;
        if (!storedPieces->empty() &&
            storedPieces->back().first + storedPieces->back().second == start) {
            bool joins = !pieceFileOffsets;
            if (pieceFileOffsets) {
                const uint64_t last = pieceFileOffsets->back();
                joins = last != kNotInContainer && fileOffset != kNotInContainer &&
                        last + storedPieces->back().second == fileOffset;
                joins = joins || (last == kNotInContainer && fileOffset == kNotInContainer);
            }
            if (joins) {
                storedPieces->back().second += length;
                return;
            }
        }
        storedPieces->emplace_back(start, length);
        if (pieceFileOffsets) pieceFileOffsets->push_back(fileOffset);
    };
    bool ok = true;
    size_t done = 0;
    // A stored run waiting to be read, extended while the next run follows it in the file.
    uint64_t pendingFileOffset = 0;
    size_t pendingStart = 0;
    size_t pendingLength = 0;
    auto flush = [&] {
        if (pendingLength == 0) return;
        if (!readStored(pendingFileOffset, out.subspan(pendingStart, pendingLength))) ok = false;
        addPiece(pendingStart, pendingLength, pendingFileOffset);
        pendingLength = 0;
    };

    while (done < out.size()) {
        uint64_t position = diskPosition + done;
        if (diskPosition >= mappedBytes_ || done >= mappedBytes_ - diskPosition) {
            flush();
            std::memset(out.data() + done, 0, out.size() - done);
            recordError(corruptError("read of " + std::to_string(out.size()) +
                                     " bytes at disk byte " + std::to_string(diskPosition) +
                                     " runs past the end of the " + std::to_string(mappedBytes_) +
                                     "-byte disk"));
            return false;
        }
        uint64_t want = std::min<uint64_t>(out.size() - done, mappedBytes_ - position);
        auto mapped = mapRun(position, want);
        if (!mapped || mapped.value().length == 0) {
            flush();
            std::memset(out.data() + done, 0, out.size() - done);
            recordError(mapped ? corruptError("empty run at disk byte " + std::to_string(position))
                               : mapped.error());
            return false;
        }
        const StoredRun& run = mapped.value();
        size_t length = static_cast<size_t>(std::min<uint64_t>(run.length, want));
        if (run.decoded) {
            flush();
            if (!readDecoded(run, position, out.subspan(done, length))) ok = false;
            addPiece(done, length, kNotInContainer);
        } else if (run.stored) {
            bool continues = pendingLength > 0 && pendingStart + pendingLength == done &&
                             pendingFileOffset + pendingLength == run.fileOffset;
            if (!continues) {
                flush();
                pendingFileOffset = run.fileOffset;
                pendingStart = done;
            }
            pendingLength += length;
        } else {
            flush();
            std::memset(out.data() + done, 0, length);
        }
        done += length;
    }
    flush();
    return ok;
}

bool readWriteInterface::readDecoded(const StoredRun&, uint64_t diskPosition,
                                     std::span<uint8_t> out) const {
    std::memset(out.data(), 0, out.size());
    recordError(
        unsupportedError("no decoder for the run at disk byte " + std::to_string(diskPosition)));
    return false;
}

bool readWriteInterface::attachParent(const std::string& recordedName) {
    auto opened = openParentImage(fileName_, recordedName, chainDepth_ + 1);
    if (!opened) {
        return failOpen(opened.error(), opened.error().message);
    }
    parent_ = std::move(opened.value());
    return true;
}

bool readWriteInterface::readParent(uint64_t diskPosition, std::span<uint8_t> out) const {
    if (!parent_) {
        std::memset(out.data(), 0, out.size());
        return true;
    }
    const uint64_t parentBytes = parent_->mappedBytes();
    size_t inside = 0;
    if (diskPosition < parentBytes)
        inside = static_cast<size_t>(std::min<uint64_t>(out.size(), parentBytes - diskPosition));
    std::memset(out.data() + inside, 0, out.size() - inside);
    if (inside == 0) return true;
    if (parent_->readDiskAt(diskPosition, out.first(inside))) return true;
    recordError(corruptError("parent " + parent_->fileName() + ": " + parent_->lastError()));
    return false;
}
