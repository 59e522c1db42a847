#include "disk/file_read_seek_vdi.h"

#include <algorithm>
#include <filesystem>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/text.h"

using namespace prendle;

namespace prendle {

namespace {

// VirtualBox prints UUIDs with the first three fields little-endian.
std::string uuidText(const std::array<uint8_t, 16>& uuid) {
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        static constexpr char hex[] = "0123456789abcdef";
        out += hex[uuid[order[i]] >> 4];
        out += hex[uuid[order[i]] & 15];
    }
    return out;
}

// A folder of VM files holds a few dozen; the bound keeps a huge folder from a long scan.
constexpr size_t kMaxFilesScanned = 4096;

}  // namespace

std::string findVdiByUuid(const std::string& childPath, const std::array<uint8_t, 16>& uuid) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path child = fs::absolute(childPath, error);
    if (error) return {};
    const fs::path folder = child.parent_path();
    const std::pair<fs::path, std::string> places[] = {{folder, ""}, {folder.parent_path(), "../"}};
    for (const auto& [place, prefix] : places) {
        size_t scanned = 0;
        for (fs::directory_iterator it(place, error), end; !error && it != end;
             it.increment(error)) {
            if (++scanned > kMaxFilesScanned) break;
            const fs::path path = it->path();
            if (path == child || !endsWithIgnoringCase(path.string(), ".vdi")) continue;
            auto file = FileHandle::openRead(path.string());
            if (!file) continue;
            std::array<uint8_t, kVdiHeaderBytes> bytes{};
            auto got = file.value().readAt(0, bytes);
            if (!got || got.value() < bytes.size() || le32At(bytes, 0x40) != 0xBEDA107F) continue;
            auto header = decodeVdiHeader(bytes);
            if (header && header.value().uuidCreate == uuid)
                return prefix + path.filename().string();
        }
        if (place == place.parent_path()) break;
    }
    return {};
}

Result<VdiHeader> decodeVdiHeader(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    VdiHeader header;
    reader.seek(0x044);
    header.formatVersion = reader.le32();
    header.headerSize = reader.le32();
    header.imageType = reader.le32();
    reader.seek(0x154);
    header.blockMapOffset = reader.le32();
    header.dataOffset = reader.le32();
    reader.seek(0x164);
    header.sectorsPerTrack = reader.le32();
    reader.seek(0x170);
    header.diskBytes = reader.le64();
    header.blockBytes = reader.le32();
    reader.seek(0x180);
    header.blockCount = reader.le32();
    header.allocatedBlocks = reader.le32();
    if (!reader.ok()) return corruptError("VDI header: " + reader.error());
    auto uuid = [&](size_t offset, std::array<uint8_t, 16>& out) {
        reader.seek(offset);
        auto bytes16 = reader.bytes(16);
        if (bytes16.size() == 16) std::copy(bytes16.begin(), bytes16.end(), out.begin());
    };
    uuid(0x188, header.uuidCreate);
    uuid(0x1A8, header.uuidLinkage);
    return header;
}

}  // namespace prendle

bool FileReadSeekVdi::open(const std::string& fileName) {
    // Sizes are bounded before they size anything; an allocation that still fails is a
    // clear error, not an escape from the reader.
    try {
        return openWith(fileName, overrides);
    } catch (const std::bad_alloc&) {
        return failOpen(corruptError(fileName + ": the VDI block map does not fit in memory"));
    }
}

bool FileReadSeekVdi::openWith(const std::string& fileName, const VdiOverrides& typed) {
    blockMap_.clear();
    if (!openContainer(fileName)) return false;

    auto got = container_.readAt(0, headerBytes_);
    if (!got) return failOpen(got.error());
    if (got.value() < kVdiHeaderBytes)
        return failOpen(corruptError("VDI header: the file holds " + std::to_string(got.value()) +
                                     " bytes, the header needs " +
                                     std::to_string(kVdiHeaderBytes)));
    auto decoded = decodeVdiHeader(headerBytes_);
    if (!decoded) return failOpen(decoded.error());
    header_ = decoded.value();
    if (typed.blockBytes != 0) header_.blockBytes = typed.blockBytes;
    if (typed.blockCount != 0) header_.blockCount = static_cast<uint32_t>(typed.blockCount);

    diskSectors_ = header_.diskBytes / kSectorBytes;
    setTotalSectors(diskSectors_);
    if (header_.diskBytes == 0 || header_.headerSize == 0 || header_.allocatedBlocks == 0 ||
        header_.blockBytes == 0)
        return failOpen(corruptError(
            "VDI header: disk size " + std::to_string(header_.diskBytes) + ", header size " +
            std::to_string(header_.headerSize) + ", allocated blocks " +
            std::to_string(header_.allocatedBlocks) + ", block size " +
            std::to_string(header_.blockBytes) + " (none of them may be 0)"));

    // The map must lie inside the file before its size decides an allocation.
    uint64_t mapBytes = uint64_t{header_.blockCount} * 4;
    if (header_.blockMapOffset > containerLength ||
        mapBytes > containerLength - header_.blockMapOffset)
        return failOpen(corruptError(
            "VDI block map at offset " + std::to_string(header_.blockMapOffset) + " with " +
            std::to_string(header_.blockCount) + " entries runs past the end of the " +
            std::to_string(containerLength) + "-byte file"));
    // Entries past what the disk size implies are never read; the map holds no more.
    const uint64_t impliedBlocks =
        divideRoundingUp(std::max(header_.diskBytes, typed.diskBytes), header_.blockBytes);
    if (header_.blockCount > impliedBlocks) {
        header_.blockCount = static_cast<uint32_t>(impliedBlocks);
        mapBytes = uint64_t{header_.blockCount} * 4;
    }
    std::vector<uint8_t> raw(mapBytes);
    auto mapGot = container_.readAt(header_.blockMapOffset, raw);
    if (!mapGot) return failOpen(mapGot.error());
    if (mapGot.value() < raw.size())
        return failOpen(corruptError("VDI block map: the file ended while it was read"));
    blockMap_.resize(header_.blockCount);
    for (size_t i = 0; i < blockMap_.size(); ++i) blockMap_[i] = le32At(raw, i * 4);

    setMappedBytes(uint64_t{header_.blockCount} * header_.blockBytes);
    if (header_.imageType == kVdiDifferencingType) {
        const std::string parent = findVdiByUuid(fileName_, header_.uuidLinkage);
        if (parent.empty())
            return failOpen(ioError(fileName_ + ": the parent VDI (creation UUID " +
                                    uuidText(header_.uuidLinkage) +
                                    ") is missing from this folder and the one above"),
                            "The parent of this VDI snapshot (UUID " +
                                uuidText(header_.uuidLinkage) +
                                ") was not found beside it or in the folder above");
        if (!attachParent(parent)) return false;
    }
    // A size typed by the user may enlarge the disk, never cut it below the header's.
    if (typed.diskBytes != 0)
        setTotalSectors(std::max(diskSectors_, typed.diskBytes / kSectorBytes));
    return true;
}

bool FileReadSeekVdi::readDecoded(const StoredRun&, uint64_t diskPosition,
                                  std::span<uint8_t> out) const {
    return readParent(diskPosition, out);
}

Result<StoredRun> FileReadSeekVdi::mapRun(uint64_t diskPosition, uint64_t maxLength) const {
    const uint64_t blockBytes = header_.blockBytes;
    uint64_t block = diskPosition / blockBytes;
    uint64_t within = diskPosition % blockBytes;
    if (block >= blockMap_.size())
        return corruptError("disk byte " + std::to_string(diskPosition) + " lies in block " +
                            std::to_string(block) + ", beyond the " +
                            std::to_string(blockMap_.size()) + "-entry VDI block map");
    uint64_t length = std::min(maxLength, blockBytes - within);
    uint32_t entry = blockMap_[block];
    // A snapshot's never-written block is its parent's; a discarded one reads as zeros.
    if (entry == 0xFFFFFFFF && parent_) return StoredRun{false, 0, length, true};
    if (entry >= kVdiFirstUnstoredEntry) return StoredRun{false, 0, length};
    // Entry, block size and data offset are each 32 bits, so the sum fits in 64 bits.
    uint64_t fileOffset = uint64_t{entry} * blockBytes + header_.dataOffset + within;
    return StoredRun{true, fileOffset, length};
}

ContainerInfo FileReadSeekVdi::info() const {
    ContainerInfo out;
    out.kind = header_.imageType == 2                      ? "VDI (static)"
               : header_.imageType == kVdiDifferencingType ? "VDI (differencing)"
                                                           : "VDI (dynamic)";
    out.virtualBytes = header_.diskBytes;
    out.blockBytes = header_.blockBytes;
    out.blockCount = header_.blockCount;
    out.allocatedBlocks = static_cast<uint64_t>(std::count_if(
        blockMap_.begin(), blockMap_.end(), [](uint32_t e) { return e < kVdiFirstUnstoredEntry; }));
    out.details = {{"format version", std::to_string(header_.formatVersion)},
                   {"sectors per track", std::to_string(header_.sectorsPerTrack)},
                   {"header allocated blocks", std::to_string(header_.allocatedBlocks)}};
    return out;
}
