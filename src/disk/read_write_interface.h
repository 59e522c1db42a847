// The sector source every parser reads the virtual disk through. Blocks the container does
// not store read as zeros. Readers map a position to a stored run and read whole runs at
// once; readAt is positional and may be called from several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/file_handle.h"

namespace prendle {

inline constexpr uint64_t kSectorBytes = 512;

// A piece of the virtual disk: where it is stored, or that it is not stored.
struct StoredRun {
    bool stored = false;
    uint64_t fileOffset = 0;
    uint64_t length = 0;
    // Data the reader makes itself (a compressed cluster, a parent layer, another extent
    // file): read through readDecoded, with fileOffset a value of the reader's choosing.
    bool decoded = false;
};

// Layers of a differencing chain are opened beside the child; a deeper chain is refused so
// that parents naming each other cannot recurse without end.
inline constexpr int kMaxChainDepth = 32;

// What the image page and `prendle-cli info` show about a container.
struct ContainerInfo {
    std::string kind;
    uint64_t virtualBytes = 0;
    uint64_t blockBytes = 0;
    uint64_t blockCount = 0;
    uint64_t allocatedBlocks = 0;
    std::vector<std::pair<std::string, std::string>> details;
};

}  // namespace prendle

class readWriteInterface {
public:
    virtual ~readWriteInterface() = default;

    virtual bool open(const std::string& fileName) = 0;
    // Reads at the logical position and moves it on by byteCount.
    virtual bool read(void* buffer, uint32_t byteCount);
    // Records the position (before readerOrigin); false when it lies outside the disk.
    virtual bool seek(uint64_t position, uint32_t originMode = 0);
    virtual bool spare(uint32_t) { return true; }

    // Reads at position + readerOrigin without touching the logical position. Unstored
    // blocks give zeros; a part outside the disk gives zeros and makes the result false.
    bool readAt(uint64_t position, std::span<uint8_t> out) const;
    bool readDiskAt(uint64_t diskPosition, std::span<uint8_t> out) const;

    // As readDiskAt, and lists the pieces of `out` that the container stores (offset,
    // length), so that a copy can leave the rest as holes.
    bool readDiskAt(uint64_t diskPosition, std::span<uint8_t> out,
                    std::vector<std::pair<size_t, size_t>>* storedPieces) const;
    // As above; pieceFileOffsets gets, for each piece, where it starts in the container
    // file (kNotInContainer for data the reader decoded), so that a copy can take it from
    // there kernel-side. Pieces then join only when they follow on in the file too.
    static constexpr uint64_t kNotInContainer = UINT64_MAX;
    bool readDiskAt(uint64_t diskPosition, std::span<uint8_t> out,
                    std::vector<std::pair<size_t, size_t>>* storedPieces,
                    std::vector<uint64_t>* pieceFileOffsets) const;

    virtual prendle::ContainerInfo info() const = 0;
    // Bytes of the disk that the container maps; reads beyond fail.
    uint64_t mappedBytes() const { return mappedBytes_; }
    // The disk's size in sectors as its header gives it (or a size the user typed).
    uint64_t totalSectors() const { return totalSectors_; }
    uint64_t logicalPosition() const { return logicalPosition_; }

    // The parent layer of a differencing image, or null.
    const readWriteInterface* parentLayer() const { return parent_.get(); }
    const std::string& fileName() const { return fileName_; }
    void setChainDepth(int depth) { chainDepth_ = depth; }

    std::string lastError() const;
    int lastErrorNumber() const;
    // The text the page shows in a message box after a failed open, empty for none.
    const std::string& userMessage() const { return userMessage_; }

    uint64_t readerOrigin = 0;
    uint64_t containerLength = 0;
    bool blockAllocated = true;

protected:
    // Maps the piece of at most maxLength bytes that starts at diskPosition (inside the
    // mapped area); the run ends at a block boundary or earlier.
    virtual prendle::Result<prendle::StoredRun> mapRun(uint64_t diskPosition,
                                                       uint64_t maxLength) const = 0;

    // Common first steps of open: forget the previous state and open the file read-only.
    bool openContainer(const std::string& fileName);
    bool failOpen(const prendle::Error& error, std::string userMessage = {});
    void recordError(const prendle::Error& error) const;
    void setMappedBytes(uint64_t bytes) { mappedBytes_ = bytes; }
    void setTotalSectors(uint64_t sectors) { totalSectors_ = sectors; }

    prendle::FileHandle container_;
    std::string userMessage_;
    std::string fileName_;
    std::unique_ptr<readWriteInterface> parent_;
    int chainDepth_ = 0;

    // Reads a stored run from the container; a source over memory serves it itself.
    virtual bool readStored(uint64_t fileOffset, std::span<uint8_t> out) const;
    // Fills `out` for a run that mapRun marked as decoded.
    virtual bool readDecoded(const prendle::StoredRun& run, uint64_t diskPosition,
                             std::span<uint8_t> out) const;
    // Opens the parent the image names (found beside it), keeping this layer's sector count.
    bool attachParent(const std::string& recordedName);
    // Reads the parent layer; what lies past the parent's end reads as zeros.
    bool readParent(uint64_t diskPosition, std::span<uint8_t> out) const;

private:
    uint64_t logicalPosition_ = 0;
    uint64_t mappedBytes_ = 0;
    uint64_t totalSectors_ = 0;
    mutable std::mutex errorMutex_;
    mutable std::string lastError_;
    mutable int lastErrorNumber_ = 0;
};
