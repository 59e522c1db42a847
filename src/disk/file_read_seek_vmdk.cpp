#include "disk/file_read_seek_vmdk.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "common/byte_reader.h"
#include "common/checked.h"
#include "common/text.h"
#include "disk/decompress.h"

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
// A descriptor file is a page of text; anything far larger is not one.
constexpr uint64_t kMaxDescriptorFileBytes = 1024 * 1024;
// Compressed grains are decoded whole; VMware writes 64 KiB grains.
constexpr uint64_t kMaxCompressedGrainSectors = 32768;
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
    out.parentFileNameHint = quotedValue(text, "parentFileNameHint=\"");
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
    compressed_ = false;
    grainMarkers_ = false;
    holeSource_ = nullptr;
    holeSourceOffset_ = 0;
    extents_.clear();
    lastGrain_.reset();
    if (!openContainer(fileName)) {
        userMessage_.clear();
        return false;
    }
    std::array<uint8_t, kSectorBytes> first{};
    auto got = container_.readAt(0, first);
    if (!got) return failOpen(got.error());
    auto decoded = decodeVmdkSparseHeader(std::span<const uint8_t>(first).first(got.value()));
    if (!decoded || decoded.value().magic != kVmdkSparseMagic) {
        std::string_view head(reinterpret_cast<const char*>(first.data()), got.value());
        if (head.find("createType") != std::string_view::npos ||
            head.rfind("# Disk DescriptorFile", 0) == 0)
            return openDescriptorFile();
        return failOpen(unsupportedError(
            "VMDK: no sparse extent header (KDMV) and no descriptor at the start of the file"));
    }
    header_ = decoded.value();
    // Stream-optimized images written in one pass keep the real header in a footer, in the
    // sector before the end-of-stream marker.
    if (header_.directorySector == kVmdkDirectoryAtEnd) {
        std::array<uint8_t, kSectorBytes> footer{};
        auto footerGot = containerLength >= 1024 ? container_.readAt(containerLength - 1024, footer)
                                                 : Result<size_t>(size_t{0});
        if (!footerGot) return failOpen(footerGot.error());
        auto footerHeader =
            decodeVmdkSparseHeader(std::span<const uint8_t>(footer).first(footerGot.value()));
        if (!footerHeader || footerHeader.value().magic != kVmdkSparseMagic ||
            footerHeader.value().directorySector == kVmdkDirectoryAtEnd)
            return failOpen(
                corruptError("VMDK: the grain directory is at the end, but no footer "
                             "header is 1024 bytes before the end of the file"));
        header_ = footerHeader.value();
        header_.redundantDirectorySector = 0;
    }
    if (header_.compressAlgorithm > 1)
        return failOpen(unsupportedError("VMDK: compression algorithm " +
                                         std::to_string(header_.compressAlgorithm) +
                                         ", only deflate (1) is known"));
    compressed_ = header_.compressAlgorithm == 1 || (header_.flags & kVmdkCompressedFlag) != 0;
    grainMarkers_ = (header_.flags & kVmdkMarkerFlag) != 0;

    // The embedded descriptor, bounded by the capacity as well as by the file.
    uint64_t capacityBytes = checkedMul(header_.capacitySectors, kSectorBytes).value_or(UINT64_MAX);
    auto descriptorOffset = checkedMul(header_.descriptorSector, kSectorBytes);
    auto descriptorBytes = checkedMul(header_.descriptorSectors, kSectorBytes);
    bool hasDescriptor = descriptorOffset && descriptorBytes && *descriptorOffset > 0 &&
                         *descriptorOffset<capacityBytes&& * descriptorBytes> 0 &&
                         *descriptorBytes < capacityBytes && *descriptorOffset < containerLength;
    // The extents of a descriptor file carry an empty descriptor area; the top file's counts.
    hasDescriptor = hasDescriptor && !extentOfDescriptor_;
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
    if (compressed_ && header_.grainSectors > kMaxCompressedGrainSectors)
        return failOpen(corruptError("VMDK: compressed grains of " +
                                     std::to_string(header_.grainSectors) + " sectors, limit " +
                                     std::to_string(kMaxCompressedGrainSectors)));
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
    if (!flatExtent_ && hasParentHint(descriptor_)) {
        if (!attachParent(descriptor_.parentFileNameHint)) return false;
        holeSource_ = parent_.get();
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
    if (!extents_.empty()) return mapExtentRun(diskPosition, maxLength);
    if (flatExtent_) return StoredRun{true, diskPosition, maxLength};
    const uint64_t grainBytes = header_.grainSectors * kSectorBytes;
    const uint64_t tableSpanBytes = sectorsPerGrainTable_ * kSectorBytes;
    uint64_t withinGrain = diskPosition % grainBytes;
    uint64_t length = std::min(maxLength, grainBytes - withinGrain);
    uint64_t index = diskPosition / tableSpanBytes;
    if (index >= grainDirectory_.size() || grainDirectory_[index] == 0) return holeRun(length);
    auto table = grainTable(index);
    if (!table) return table.error();
    uint64_t slot = (diskPosition % tableSpanBytes) / grainBytes;
    uint32_t grainSector = (*table.value())[slot];
    // 0: never written (the parent's, if any); 1: a grain of zeros.
    if (grainSector == 0) return holeRun(length);
    if (grainSector == 1) return StoredRun{false, 0, length};
    if (compressed_) return StoredRun{false, uint64_t{grainSector} * kSectorBytes, length, true};
    return StoredRun{true, uint64_t{grainSector} * kSectorBytes + withinGrain, length};
}

ContainerInfo FileReadSeekVmdk::info() const {
    ContainerInfo out;
    if (!extents_.empty()) return extentInfo();
    out.kind = flatExtent_ ? "VMDK (flat extent)"
                           : (compressed_ ? "VMDK (stream-optimized)" : "VMDK (sparse)");
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
                   {"extents", std::to_string(descriptor_.extents.size())},
                   {"parent", descriptor_.parentFileNameHint}};
    return out;
}

namespace prendle {

std::vector<VmdkExtent> parseVmdkExtentLines(std::string_view text) {
    std::vector<VmdkExtent> out;
    while (!text.empty()) {
        size_t lineEnd = text.find('\n');
        std::string_view line = trim(text.substr(0, lineEnd));
        text = lineEnd == std::string_view::npos ? std::string_view{} : text.substr(lineEnd + 1);
        bool extentLine = line.rfind("RW ", 0) == 0 || line.rfind("RDONLY ", 0) == 0 ||
                          line.rfind("NOACCESS ", 0) == 0;
        if (!extentLine) continue;
        VmdkExtent extent;
        if (parseExtentLine(line, extent)) {
            std::string_view after = trim(line.substr(line.rfind('"') + 1));
            uint64_t start = 0;
            auto parsed = std::from_chars(after.data(), after.data() + after.size(), start);
            if (parsed.ec == std::errc()) extent.startSector = start;
        } else {
            // ZERO extents carry no file: "RW 2048 ZERO".
            std::string_view rest = trim(line.substr(line.find(' ')));
            size_t space = rest.find(' ');
            if (space == std::string_view::npos) continue;
            std::string_view number = rest.substr(0, space);
            auto parsed =
                std::from_chars(number.data(), number.data() + number.size(), extent.sectors);
            if (parsed.ec != std::errc()) continue;
            extent.type = std::string(trim(rest.substr(space)));
        }
        out.push_back(std::move(extent));
    }
    return out;
}

bool hasParentHint(const VmdkDescriptor& descriptor) {
    return !descriptor.parentFileNameHint.empty() &&
           !equalsIgnoringCase(descriptor.parentCid, "ffffffff");
}

}  // namespace prendle

bool FileReadSeekVmdk::openDescriptorFile() {
    if (containerLength > kMaxDescriptorFileBytes)
        return failOpen(corruptError("VMDK: a " + std::to_string(containerLength) +
                                     "-byte file without a sparse header is no descriptor"));
    std::string text(containerLength, '\0');
    auto got =
        container_.readAt(0, std::span(reinterpret_cast<uint8_t*>(text.data()), text.size()));
    if (!got) return failOpen(got.error());
    text.resize(got.value());
    auto parsed = parseVmdkDescriptor(text);
    if (!parsed) return failOpen(parsed.error());
    descriptor_ = std::move(parsed.value());
    descriptor_.extents = parseVmdkExtentLines(text);
    if (descriptor_.extents.empty())
        return failOpen(corruptError("VMDK descriptor: no extent lines"),
                        "The VMDK descriptor lists no extent files");

    const size_t slash = fileName_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : fileName_.substr(0, slash + 1);
    uint64_t diskStart = 0;
    for (const auto& line : descriptor_.extents) {
        Extent extent;
        extent.diskStart = diskStart;
        auto bytes = checkedMul(line.sectors, kSectorBytes);
        auto end = bytes ? checkedAdd(diskStart, *bytes) : std::nullopt;
        if (!end)
            return failOpen(corruptError("VMDK descriptor: the extents add up past 2^64 bytes"));
        extent.diskBytes = *bytes;
        const std::string type = toLowerAscii(line.type);
        const std::string path = folder + line.fileName;
        std::error_code statError;
        auto status = std::filesystem::status(path, statError);
        // An extent name is untrusted: a pipe or a terminal would block the open for ever.
        if (type != "zero" && !statError && !std::filesystem::is_regular_file(status) &&
            !std::filesystem::is_block_file(status))
            return failOpen(corruptError("VMDK extent " + path + " is not a regular file"),
                            "The VMDK extent \"" + line.fileName + "\" is not a regular file");
        auto missing = [&](const Error& error) {
            return failOpen(error, "The VMDK extent file \"" + line.fileName +
                                       "\" is missing or unreadable (looked for " + path + ")");
        };
        if (type == "zero") {
            extent.kind = Extent::Kind::Zero;
        } else if (type == "flat" || type == "vmfs") {
            auto file = FileHandle::openRead(path);
            if (!file) return missing(file.error());
            extent.kind = Extent::Kind::Flat;
            extent.file = std::move(file.value());
            auto start = checkedMul(line.startSector, kSectorBytes);
            if (!start)
                return failOpen(corruptError("VMDK extent " + line.fileName + ": offset of " +
                                             std::to_string(line.startSector) + " sectors"));
            extent.fileStart = *start;
        } else if (type == "sparse") {
            auto file = FileHandle::openRead(path);
            if (!file) return missing(file.error());
            std::array<uint8_t, 4> magic{};
            auto magicGot = file.value().readAt(0, magic);
            if (!magicGot || magicGot.value() < 4 || le32At(magic, 0) != kVmdkSparseMagic)
                return failOpen(
                    corruptError("VMDK extent " + path + " has no sparse extent header (KDMV)"));
            extent.kind = Extent::Kind::Sparse;
            extent.sparse = std::make_unique<FileReadSeekVmdk>();
            extent.sparse->extentOfDescriptor_ = true;
            if (!extent.sparse->open(path))
                return failOpen(
                    corruptError("VMDK extent " + path + ": " + extent.sparse->lastError()));
        } else {
            return failOpen(
                unsupportedError("VMDK extent type " + line.type + " (" + line.fileName + ")"),
                "VMDK extents of type " + line.type + " are not supported");
        }
        extents_.push_back(std::move(extent));
        diskStart = *end;
    }
    setMappedBytes(diskStart);
    if (hasParentHint(descriptor_)) {
        if (!attachParent(descriptor_.parentFileNameHint)) return false;
        for (auto& extent : extents_) {
            if (!extent.sparse) continue;
            extent.sparse->holeSource_ = parent_.get();
            extent.sparse->holeSourceOffset_ = extent.diskStart;
        }
    }
    setTotalSectors(diskStart / kSectorBytes);
    return true;
}

StoredRun FileReadSeekVmdk::holeRun(uint64_t length) const {
    if (holeSource_) return StoredRun{false, 0, length, true};
    return StoredRun{false, 0, length};
}

Result<StoredRun> FileReadSeekVmdk::mapExtentRun(uint64_t diskPosition, uint64_t maxLength) const {
    auto after = std::upper_bound(
        extents_.begin(), extents_.end(), diskPosition,
        [](uint64_t position, const Extent& extent) { return position < extent.diskStart; });
    if (after == extents_.begin())
        return corruptError("disk byte " + std::to_string(diskPosition) + " precedes the extents");
    const auto index = static_cast<uint64_t>(after - extents_.begin() - 1);
    const Extent& extent = extents_[index];
    const uint64_t within = diskPosition - extent.diskStart;
    if (within >= extent.diskBytes)
        return corruptError("disk byte " + std::to_string(diskPosition) + " lies past the extents");
    const uint64_t length = std::min(maxLength, extent.diskBytes - within);
    if (extent.kind == Extent::Kind::Zero) return StoredRun{false, 0, length};
    return StoredRun{false, index, length, true};
}

bool FileReadSeekVmdk::readGrain(uint64_t grainOffset, uint64_t within,
                                 std::span<uint8_t> out) const {
    const uint64_t grainBytes = header_.grainSectors * kSectorBytes;
    std::shared_ptr<const std::vector<uint8_t>> grain;
    {
        std::lock_guard lock(tableMutex_);
        if (lastGrain_ && lastGrainOffset_ == grainOffset) grain = lastGrain_;
    }
    if (!grain) {
        auto fail = [&](Error error) {
            std::memset(out.data(), 0, out.size());
            recordError(error);
            return false;
        };
        if (grainOffset >= containerLength)
            return fail(corruptError("VMDK compressed grain at offset " +
                                     std::to_string(grainOffset) + " lies past the end of the " +
                                     std::to_string(containerLength) + "-byte file"));
        // Deflate never grows data by more than a little; twice the grain bounds the read.
        std::vector<uint8_t> in(std::min(grainBytes * 2 + 1024, containerLength - grainOffset));
        auto got = container_.readAt(grainOffset, in);
        if (!got) return fail(got.error());
        std::span<const uint8_t> data(in.data(), got.value());
        if (grainMarkers_) {
            // A grain marker: the grain's sector (8 bytes), then the compressed size (4).
            if (data.size() < 12)
                return fail(corruptError("VMDK grain marker at offset " +
                                         std::to_string(grainOffset) + " is cut off"));
            const uint32_t size = le32At(data, 8);
            if (size == 0 || size > data.size() - 12)
                return fail(corruptError("VMDK compressed grain at offset " +
                                         std::to_string(grainOffset) + ": compressed size " +
                                         std::to_string(size) + " does not fit the file"));
            data = data.subspan(12, size);
        }
        auto decoded = std::make_shared<std::vector<uint8_t>>(grainBytes, 0);
        auto produced = decompressInto(Compression::Zlib, data, *decoded);
        if (!produced)
            return fail(Error{produced.error().kind, "VMDK compressed grain at offset " +
                                                         std::to_string(grainOffset) + ": " +
                                                         produced.error().message});
        // The last grain of a disk may hold less than a whole grain; the rest reads as zeros.
        grain = decoded;
        std::lock_guard lock(tableMutex_);
        lastGrainOffset_ = grainOffset;
        lastGrain_ = grain;
    }
    std::memcpy(out.data(), grain->data() + within, out.size());
    return true;
}

bool FileReadSeekVmdk::readDecoded(const StoredRun& run, uint64_t diskPosition,
                                   std::span<uint8_t> out) const {
    if (!extents_.empty()) {
        const Extent& extent = extents_[run.fileOffset];
        const uint64_t within = diskPosition - extent.diskStart;
        if (extent.kind == Extent::Kind::Flat) {
            auto got = extent.file.readAt(extent.fileStart + within, out);
            const size_t filled = got ? got.value() : 0;
            std::memset(out.data() + filled, 0, out.size() - filled);
            if (!got) {
                recordError(got.error());
                return false;
            }
            if (filled < out.size()) {
                recordError(corruptError("VMDK extent " + extent.file.path() + " ends at byte " +
                                         std::to_string(extent.fileStart + within + filled) +
                                         ", before the " + std::to_string(extent.diskBytes) +
                                         " bytes the descriptor gives it"));
                return false;
            }
            return true;
        }
        // A sparse extent smaller than its descriptor line reads as zeros past its end.
        const uint64_t available = extent.sparse->mappedBytes();
        size_t inside =
            within < available
                ? static_cast<size_t>(std::min<uint64_t>(out.size(), available - within))
                : 0;
        std::memset(out.data() + inside, 0, out.size() - inside);
        if (inside == 0 || extent.sparse->readDiskAt(within, out.first(inside))) return true;
        recordError(corruptError(extent.sparse->lastError()));
        return false;
    }
    if (run.fileOffset != 0) {
        const uint64_t grainBytes = header_.grainSectors * kSectorBytes;
        return readGrain(run.fileOffset, diskPosition % grainBytes, out);
    }
    // An unwritten grain of a child: the parent's bytes at the same place of the disk.
    const uint64_t position = holeSourceOffset_ + diskPosition;
    const uint64_t available = holeSource_ ? holeSource_->mappedBytes() : 0;
    size_t inside = position < available
                        ? static_cast<size_t>(std::min<uint64_t>(out.size(), available - position))
                        : 0;
    std::memset(out.data() + inside, 0, out.size() - inside);
    if (inside == 0 || holeSource_->readDiskAt(position, out.first(inside))) return true;
    recordError(
        corruptError("parent " + holeSource_->fileName() + ": " + holeSource_->lastError()));
    return false;
}

ContainerInfo FileReadSeekVmdk::extentInfo() const {
    ContainerInfo out;
    out.kind = "VMDK (" + descriptor_.createType + ")";
    out.virtualBytes = mappedBytes();
    for (const auto& extent : extents_) {
        if (!extent.sparse) continue;
        auto part = extent.sparse->info();
        out.blockBytes = part.blockBytes;
        out.blockCount += part.blockCount;
        out.allocatedBlocks += part.allocatedBlocks;
    }
    out.details = {{"createType", descriptor_.createType},
                   {"version", descriptor_.version},
                   {"CID", descriptor_.cid},
                   {"parentCID", descriptor_.parentCid},
                   {"extents", std::to_string(extents_.size())},
                   {"parent", descriptor_.parentFileNameHint}};
    return out;
}
