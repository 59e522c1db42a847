#include "disk/file_read_seek_vmdk.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/text.h"

using namespace prendle;

namespace prendle {

namespace {

// VMware writes 512; anything far larger is damage, and it sizes a buffer.
constexpr uint32_t kMaxEntriesPerGrainTable = 65536;
// 4 Mi directory entries of 512 tables of 64 KiB grains map 128 TiB: any real disk, while
// a damaged capacity field cannot size a directory and cache of gigabytes.
constexpr uint64_t kMaxGrainDirectoryEntries = uint64_t{1} << 22;
// A grain of more than 2^20 sectors (512 MiB) is no image any tool writes.
constexpr uint64_t kMaxGrainSectors = uint64_t{1} << 20;
// The descriptor is a few lines of text; a bound keeps a hostile size from a huge read.
constexpr uint64_t kMaxDescriptorBytes = 16 * 1024 * 1024;
// Grain tables kept at once; a 2 TiB disk of 64 KiB grains needs 64 MiB of them.
constexpr uint64_t kMaxCachedTableBytes = 64 * 1024 * 1024;

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// The text strictly between the end of `key` and the start of `next`, both searched
// from the start of the descriptor.
std::string valueBetween(std::string_view text, std::string_view key, std::string_view next) {
    size_t start = text.find(key);
    size_t end = text.find(next);
    if (start == std::string_view::npos || end == std::string_view::npos) return {};
    start += key.size();
    if (end <= start) return {};
    return std::string(trim(text.substr(start, end - start)));
}

// The value of a line `key = "value"`, up to the closing quote.
std::string quotedValue(std::string_view text, std::string_view key) {
    size_t start = text.find(key);
    if (start == std::string_view::npos) return {};
    start += key.size();
    size_t end = text.find('"', start);
    if (end == std::string_view::npos) return {};
    return std::string(text.substr(start, end - start));
}

// One extent line: access, sectors, type and a quoted file name (an offset may follow).
bool parseExtentLine(std::string_view line, VmdkExtent& extent) {
    size_t quote = line.find('"');
    if (quote == std::string_view::npos) return false;
    size_t closing = line.find('"', quote + 1);
    if (closing == std::string_view::npos) return false;
    std::string_view head = line.substr(0, quote);
    size_t accessEnd = head.find(' ');
    if (accessEnd == std::string_view::npos) return false;
    head = trim(head.substr(accessEnd));
    size_t sectorsEnd = head.find(' ');
    if (sectorsEnd == std::string_view::npos) return false;
    std::string_view number = head.substr(0, sectorsEnd);
    uint64_t sectors = 0;
    auto parsed = std::from_chars(number.data(), number.data() + number.size(), sectors);
    if (parsed.ec != std::errc()) sectors = 0;
    extent.sectors = sectors;
    extent.type = std::string(trim(head.substr(sectorsEnd)));
    extent.fileName = std::string(line.substr(quote + 1, closing - quote - 1));
    return true;
}

}  // namespace

Result<VmdkSparseHeader> decodeVmdkSparseHeader(std::span<const uint8_t> bytes) {
    ByteReader reader(bytes);
    VmdkSparseHeader header;
    header.magic = reader.le32();
    header.version = reader.le32();
    header.flags = reader.le32();
    header.capacitySectors = reader.le64();
    header.grainSectors = reader.le64();
    header.descriptorSector = reader.le64();
    header.descriptorSectors = reader.le64();
    header.entriesPerGrainTable = reader.le32();
    header.redundantDirectorySector = reader.le64();
    header.directorySector = reader.le64();
    reader.seek(77);
    header.compressAlgorithm = reader.le16();
    if (!reader.ok()) return corruptError("VMDK sparse header: " + reader.error());
    return header;
}

Result<VmdkDescriptor> parseVmdkDescriptor(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    VmdkDescriptor out;
    const std::string_view createKey = "createType=\"";
    size_t createAt = text.find(createKey);
    if (createAt == std::string_view::npos || createAt == 0 ||
        createAt + createKey.size() == text.size())
        return corruptError("VMDK descriptor: no createType entry");
    out.version = valueBetween(text, "version=", "CID=");
    out.cid = valueBetween(text, "CID=", "parentCID=");
    out.parentCid = valueBetween(text, "parentCID=", createKey);
    std::string_view rest = text.substr(createAt + createKey.size());
    out.createType = std::string(rest.substr(0, rest.find('"')));

    const std::string_view extentKey = "# Extent description";
    size_t section = rest.find(extentKey);
    if (section != std::string_view::npos) {
        std::string_view extents = rest.substr(section + extentKey.size());
        extents = extents.substr(0, extents.find("# The Disk Data Base"));
        while (!extents.empty()) {
            size_t lineEnd = extents.find('\n');
            std::string_view line = trim(extents.substr(0, lineEnd));
            extents = lineEnd == std::string_view::npos ? std::string_view{}
                                                        : extents.substr(lineEnd + 1);
            if (line.empty() || line.front() == '#') continue;
            VmdkExtent extent;
            // A line without a quoted name ends the section; the extents before it stay.
            if (!parseExtentLine(line, extent)) break;
            out.extents.push_back(std::move(extent));
        }
    }
    out.cylinders = quotedValue(text, "ddb.geometry.cylinders = \"");
    out.heads = quotedValue(text, "ddb.geometry.heads = \"");
    out.sectors = quotedValue(text, "ddb.geometry.sectors = \"");
    return out;
}

}  // namespace prendle

bool FileReadSeekVmdk::open(const std::string& fileName) {
    try {
        return openSparse(fileName);
    } catch (const std::bad_alloc&) {
        return failOpen(
            corruptError(fileName + ": the VMDK grain directory does not fit in memory"));
    }
}

bool FileReadSeekVmdk::openSparse(const std::string& fileName) {
    grainDirectory_.clear();
    tableCache_.clear();
    cachedBytes_ = 0;
    descriptor_ = {};
    flatExtent_ = false;
    if (!openContainer(fileName)) {
        userMessage_.clear();
        return false;
    }
    std::array<uint8_t, kSectorBytes> first{};
    auto got = container_.readAt(0, first);
    if (!got) return failOpen(got.error());
    auto decoded = decodeVmdkSparseHeader(std::span<const uint8_t>(first).first(got.value()));
    if (!decoded || decoded.value().magic != kVmdkSparseMagic)
        return failOpen(unsupportedError(
            "VMDK: no sparse extent header (KDMV) at the start of the file; descriptor-only "
            "and split images are not supported"));
    header_ = decoded.value();
    if (header_.compressAlgorithm != 0 || header_.redundantDirectorySector == UINT64_MAX ||
        header_.directorySector == UINT64_MAX)
        return failOpen(unsupportedError(
            "VMDK: stream-optimized (compressed) images are not supported; convert them with "
            "qemu-img first"));

    // The embedded descriptor, bounded by the capacity as well as by the file.
    uint64_t capacityBytes = checkedMul(header_.capacitySectors, kSectorBytes).value_or(UINT64_MAX);
    auto descriptorOffset = checkedMul(header_.descriptorSector, kSectorBytes);
    auto descriptorBytes = checkedMul(header_.descriptorSectors, kSectorBytes);
    bool hasDescriptor = descriptorOffset && descriptorBytes && *descriptorOffset > 0 &&
                         *descriptorOffset<capacityBytes&& * descriptorBytes> 0 &&
                         *descriptorBytes < capacityBytes && *descriptorOffset < containerLength;
    std::string descriptorText;
    if (hasDescriptor) {
        uint64_t length =
            std::min({*descriptorBytes, containerLength - *descriptorOffset, kMaxDescriptorBytes});
        descriptorText.resize(length);
        auto text = container_.readAt(
            *descriptorOffset,
            std::span(reinterpret_cast<uint8_t*>(descriptorText.data()), descriptorText.size()));
        if (!text) return failOpen(text.error());
        descriptorText.resize(text.value());
    }

    if (header_.grainSectors == 0 || header_.grainSectors > kMaxGrainSectors)
        return failOpen(corruptError("VMDK: grain size of " + std::to_string(header_.grainSectors) +
                                     " sectors, expected 1 to " +
                                     std::to_string(kMaxGrainSectors)));
    if (header_.entriesPerGrainTable == 0 ||
        header_.entriesPerGrainTable > kMaxEntriesPerGrainTable)
        return failOpen(corruptError("VMDK: " + std::to_string(header_.entriesPerGrainTable) +
                                     " entries per grain table, expected 1 to " +
                                     std::to_string(kMaxEntriesPerGrainTable)));
    sectorsPerGrainTable_ = header_.grainSectors * header_.entriesPerGrainTable;
    uint64_t directoryCount = divideRoundingUp(header_.capacitySectors, sectorsPerGrainTable_);
    uint64_t directorySector = header_.redundantDirectorySector != 0
                                   ? header_.redundantDirectorySector
                                   : header_.directorySector;
    // The directory and its table cache are sized by the capacity field: bounded first.
    if (directoryCount > kMaxGrainDirectoryEntries)
        return failOpen(corruptError("VMDK capacity of " + std::to_string(header_.capacitySectors) +
                                     " sectors needs " + std::to_string(directoryCount) +
                                     " grain directory entries, limit " +
                                     std::to_string(kMaxGrainDirectoryEntries)));
    auto directoryOffset = checkedMul(directorySector, kSectorBytes);
    auto directoryBytes = checkedMul(directoryCount, 4);
    if (!directoryOffset || !directoryBytes || *directoryOffset > containerLength ||
        *directoryBytes > containerLength - *directoryOffset)
        return failOpen(corruptError(
            "VMDK grain directory at sector " + std::to_string(directorySector) + " with " +
            std::to_string(directoryCount) + " entries runs past the end of the " +
            std::to_string(containerLength) + "-byte file"));
    std::vector<uint8_t> raw(*directoryBytes);
    auto directoryGot = container_.readAt(*directoryOffset, raw);
    if (!directoryGot) return failOpen(directoryGot.error());
    if (directoryGot.value() < raw.size())
        return failOpen(corruptError("VMDK grain directory: the file ended while it was read"));
    grainDirectory_.resize(directoryCount);
    for (size_t i = 0; i < grainDirectory_.size(); ++i) grainDirectory_[i] = le32At(raw, i * 4);
    tableCache_.assign(directoryCount, nullptr);

    uint64_t totalSectors = header_.capacitySectors;
    if (hasDescriptor) {
        auto parsed = parseVmdkDescriptor(descriptorText);
        if (!parsed) return failOpen(parsed.error());
        descriptor_ = std::move(parsed.value());
        uint64_t sum = 0;
        bool fits = true;
        for (const auto& extent : descriptor_.extents) {
            auto next = checkedAdd(sum, extent.sectors);
            fits = fits && next.has_value();
            sum = next.value_or(sum);
        }
        if (fits && sum != 0) totalSectors = sum;
        auto isType = [&](std::string_view type) {
            return !descriptor_.extents.empty() &&
                   (equalsIgnoringCase(descriptor_.extents.front().type, type) ||
                    equalsIgnoringCase(descriptor_.extents.back().type, type));
        };
        flatExtent_ = !isType("SPARSE") && isType("FLAT");
    }
    setTotalSectors(totalSectors);
    if (flatExtent_) {
        setMappedBytes(containerLength);
    } else {
        // Sectors past the grain directory read as zeros, up to the size the image declares.
        uint64_t sectors = std::max(totalSectors, header_.capacitySectors);
        setMappedBytes(checkedMul(sectors, kSectorBytes).value_or(UINT64_MAX));
    }
    return true;
}

Result<std::shared_ptr<const FileReadSeekVmdk::GrainTable>> FileReadSeekVmdk::grainTable(
    uint64_t index) const {
    {
        std::lock_guard lock(tableMutex_);
        if (tableCache_[index]) return tableCache_[index];
    }
    uint64_t tableSector = grainDirectory_[index];
    std::vector<uint8_t> raw(size_t{header_.entriesPerGrainTable} * 4);
    auto got = container_.readAt(tableSector * kSectorBytes, raw);
    if (!got) return got.error();
    if (got.value() < raw.size())
        return corruptError("VMDK grain table " + std::to_string(index) + " at sector " +
                            std::to_string(tableSector) + " lies past the end of the " +
                            std::to_string(containerLength) + "-byte file");
    auto table = std::make_shared<GrainTable>(header_.entriesPerGrainTable);
    for (size_t i = 0; i < table->size(); ++i) (*table)[i] = le32At(raw, i * 4);
    std::lock_guard lock(tableMutex_);
    if (!tableCache_[index]) {
        // Many directory entries may name tables of the same sector: the cache is bounded
        // so that such an image cannot make it grow without end.
        const uint64_t bytes = table->size() * 4;
        if (cachedBytes_ + bytes > kMaxCachedTableBytes) {
            for (auto& cached : tableCache_) cached.reset();
            cachedBytes_ = 0;
        }
        cachedBytes_ += bytes;
        tableCache_[index] = std::move(table);
    }
    return tableCache_[index];
}

Result<StoredRun> FileReadSeekVmdk::mapRun(uint64_t diskPosition, uint64_t maxLength) const {
    if (flatExtent_) return StoredRun{true, diskPosition, maxLength};
    const uint64_t grainBytes = header_.grainSectors * kSectorBytes;
    const uint64_t tableSpanBytes = sectorsPerGrainTable_ * kSectorBytes;
    uint64_t withinGrain = diskPosition % grainBytes;
    uint64_t length = std::min(maxLength, grainBytes - withinGrain);
    uint64_t index = diskPosition / tableSpanBytes;
    if (index >= grainDirectory_.size() || grainDirectory_[index] == 0)
        return StoredRun{false, 0, length};
    auto table = grainTable(index);
    if (!table) return table.error();
    uint64_t slot = (diskPosition % tableSpanBytes) / grainBytes;
    uint32_t grainSector = (*table.value())[slot];
    // 0: never written; 1: a grain of zeros.
    if (grainSector < 2) return StoredRun{false, 0, length};
    return StoredRun{true, uint64_t{grainSector} * kSectorBytes + withinGrain, length};
}

ContainerInfo FileReadSeekVmdk::info() const {
    ContainerInfo out;
    out.kind = flatExtent_ ? "VMDK (flat extent)" : "VMDK (sparse)";
    out.virtualBytes = header_.capacitySectors * kSectorBytes;
    out.blockBytes = header_.grainSectors * kSectorBytes;
    out.blockCount = divideRoundingUp(header_.capacitySectors, header_.grainSectors);
    for (uint64_t i = 0; i < grainDirectory_.size(); ++i) {
        if (grainDirectory_[i] == 0) continue;
        auto table = grainTable(i);
        if (!table) continue;
        out.allocatedBlocks += static_cast<uint64_t>(std::count_if(
            table.value()->begin(), table.value()->end(), [](uint32_t e) { return e >= 2; }));
    }
    out.details = {{"createType", descriptor_.createType},
                   {"version", descriptor_.version},
                   {"CID", descriptor_.cid},
                   {"parentCID", descriptor_.parentCid},
                   {"cylinders", descriptor_.cylinders},
                   {"heads", descriptor_.heads},
                   {"sectors", descriptor_.sectors},
                   {"extents", std::to_string(descriptor_.extents.size())}};
    return out;
}
