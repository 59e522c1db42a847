#include "cli/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "disk/disk_export.h"
#include "disk/image_kind.h"
#include "disk/session.h"
#include "volumes/partition.h"

namespace prendle::cli {

int fail(const std::string& message) {
    std::cerr << "prendle-cli: " << message << "\n";
    return 1;
}

namespace {

Result<std::unique_ptr<readWriteInterface>> openForCommand(const std::string& image) {
    return openImage(image);
}

bool writeAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t put = ::write(fd, data, length);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

class ConsoleExportListener : public ExportListener {
public:
    ConsoleExportListener() : terminal_(::isatty(STDERR_FILENO) != 0) {}
    void showMessage(const std::string& text) override { messages_.push_back(text); }
    void setStatus(const std::string& text) override {
        status_ = text;
        if (terminal_) std::cerr << "\r" << text << "\033[K" << std::flush;
    }
    void setProgressRange(uint32_t, uint32_t) override {}
    void setProgressPos(uint32_t) override {}
    void setControlsEnabled(bool) override {}
    void setProgressVisible(bool) override {}

    bool terminal_;
    std::string status_;
    std::vector<std::string> messages_;
};

}  // namespace

int runInfo(const InfoOptions& options) {
    auto opened = openForCommand(options.image);
    if (!opened) return fail(opened.error().message);
    const auto info = opened.value()->info();
    uint64_t sectors = opened.value()->totalSectors();
    if (options.json) {
        nlohmann::json out = {
            {"kind", info.kind},         {"virtual_bytes", info.virtualBytes},
            {"sectors", sectors},        {"block_bytes", info.blockBytes},
            {"blocks", info.blockCount}, {"allocated_blocks", info.allocatedBlocks}};
        for (const auto& [key, value] : info.details) out["details"][key] = value;
        // Each layer of a differencing chain, the image itself first.
        out["chain"] = nlohmann::json::array();
        for (const auto* layer = opened.value().get(); layer; layer = layer->parentLayer())
            out["chain"].push_back({{"file", layer->fileName()}, {"kind", layer->info().kind}});
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    std::cout << "container:        " << info.kind << "\n"
              << "virtual size:     " << info.virtualBytes << " bytes ("
              << info.virtualBytes / 1048576 << " MB)\n"
              << "sectors:          " << sectors << "\n";
    if (info.blockBytes != 0)
        std::cout << "block size:       " << info.blockBytes << " bytes\n"
                  << "blocks:           " << info.blockCount << "\n"
                  << "allocated blocks: " << info.allocatedBlocks << "\n";
    for (const auto& [key, value] : info.details)
        std::cout << key << ":" << std::string(key.size() < 17 ? 17 - key.size() : 1, ' ') << value
                  << "\n";
    int depth = 0;
    for (const auto* layer = opened.value()->parentLayer(); layer; layer = layer->parentLayer()) {
        ++depth;
        std::cout << "parent " << depth << ":" << std::string(depth < 10 ? 9 : 8, ' ')
                  << layer->fileName() << " (" << layer->info().kind << ")\n";
    }
    return 0;
}

int runCat(const CatOptions& options) {
    auto opened = openForCommand(options.image);
    if (!opened) return fail(opened.error().message);
    auto& reader = *opened.value();
    const uint64_t totalBytes = reader.totalSectors() * kSectorBytes;
    constexpr size_t kChunk = 4 * 1024 * 1024;
    std::vector<uint8_t> buffer(kChunk);
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    // Into a regular file, runs of zeros are skipped and left as holes, as export does.
    struct stat outInfo {};
    const off_t base = ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
    const int outFlags = ::fcntl(STDOUT_FILENO, F_GETFL);
    const bool holes = ::fstat(STDOUT_FILENO, &outInfo) == 0 && S_ISREG(outInfo.st_mode) &&
                       base >= 0 && outFlags >= 0 && (outFlags & O_APPEND) == 0;
    for (uint64_t position = 0; position < totalBytes;) {
        if (terminal && position % (64 * kChunk) == 0)
            std::cerr << "\r" << position * 100 / totalBytes << "% of " << totalBytes / 1048576
                      << " MB" << std::flush;
        size_t length = static_cast<size_t>(std::min<uint64_t>(kChunk, totalBytes - position));
        std::span<uint8_t> chunk(buffer.data(), length);
        if (!reader.readDiskAt(position, chunk)) return fail(reader.lastError());
        if (holes) {
            for (auto [offset, pieceLength] : withoutZeroRuns(chunk, {{0, chunk.size()}})) {
                auto at = static_cast<off_t>(static_cast<uint64_t>(base) + position + offset);
                for (size_t done = 0; done < pieceLength;) {
                    ssize_t put = ::pwrite(STDOUT_FILENO, chunk.data() + offset + done,
                                           pieceLength - done, at + static_cast<off_t>(done));
                    if (put < 0 && errno == EINTR) continue;
                    if (put <= 0)
                        return fail(std::string("cannot write to stdout: ") + std::strerror(errno));
                    done += static_cast<size_t>(put);
                }
            }
        } else if (!writeAll(STDOUT_FILENO, chunk.data(), chunk.size())) {
            return fail(std::string("cannot write to stdout: ") + std::strerror(errno));
        }
        position += length;
    }
    if (holes) {
        // Holes at the end are not written: the length says where the disk ends.
        const auto end = static_cast<off_t>(static_cast<uint64_t>(base) + totalBytes);
        if (::ftruncate(STDOUT_FILENO, end) != 0 || ::lseek(STDOUT_FILENO, end, SEEK_SET) < 0)
            return fail(std::string("cannot size stdout: ") + std::strerror(errno));
    }
    if (terminal) std::cerr << "\r100% of " << totalBytes / 1048576 << " MB\n";
    return 0;
}

int runExport(const ExportOptions& options) {
    struct stat folderInfo {};
    if (::stat(options.outFolder.c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode))
        return fail(options.outFolder + ": no such folder");
    auto kind = detectImageKind(options.image);
    if (!kind) return fail(kind.error().message);
    Session session;
    session.sourceDialogId = kImagePageDialogId;

    ExportRequest request;
    request.imagePath = options.image;
    request.kind = kind.value();
    std::error_code ignored;
    // Named after the image even when it was given without a folder.
    std::string absoluteImage = std::filesystem::absolute(options.image, ignored).string();
    request.destination = exportDestinationName(options.outFolder, absoluteImage, pathExists);
    ConsoleExportListener listener;
    std::atomic<bool> stop{false};
    ExportOutcome outcome = runDiskExport(session, request, listener, stop);
    if (listener.terminal_) std::cerr << "\n";
    if (outcome != ExportOutcome::Saved) {
        std::string message = listener.status_;
        for (const auto& text : listener.messages_) message += (message.empty() ? "" : "; ") + text;
        return fail(message);
    }
    std::cout << request.destination << "\n";
    return 0;
}

namespace {

// Rows as the volume list page shows them: appended, or inserted at the top.
class VolumeCollector : public VolumeSearchListener {
public:
    explicit VolumeCollector(bool terminal) : terminal_(terminal) {}
    void setStatus(const std::string& text) override { status = text; }
    void addVolume(const VolumeInfo& volume, bool rowAtTop) override {
        if (rowAtTop) {
            rows.insert(rows.begin(), volume);
        } else {
            rows.push_back(volume);
        }
    }
    void setProgressRange(uint32_t, uint32_t) override {}
    void setProgressPos(uint32_t position) override {
        if (terminal_) std::cerr << "\rsearching: " << position / 10 << "%" << std::flush;
    }
    void setFilterEnabled(bool) override {}

    std::vector<VolumeInfo> rows;
    std::string status;

private:
    bool terminal_;
};

}  // namespace

int runVolumes(const VolumesOptions& options) {
    auto opened = openForCommand(options.image);
    if (!opened) return fail(opened.error().message);
    readWriteInterface& reader = *opened.value();
    bool terminal = ::isatty(STDERR_FILENO) != 0;
    VolumeCollector collector(terminal && options.advanced);
    Partition partition(reader, collector);
    std::string layout;
    if (options.advanced) {
        partition.customStart = options.start;
        partition.customEnd = options.end;
        partition.skipVolumeSize = !options.noSkip;
        partition.advancedSearch(reader.totalSectors());
        if (terminal) std::cerr << "\n";
        layout = "sector search";
    } else {
        partition.gptEnabled = options.gpt || (!options.mbr && hasGptHeader(reader));
        (void)partition.standardSearch();
        layout = partition.gptEnabled ? "GPT" : "MBR";
    }
    if (options.json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& volume : collector.rows) {
            uint64_t index = 0;
            try {
                index = std::stoull(volume.indexText);
            } catch (const std::exception&) {
            }
            out.push_back({{"index", index},
                           {"fs", volume.fsName},
                           {"size_text", volume.sizeText},
                           {"start_sector", volume.startSector}});
        }
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    std::cerr << "read: " << layout << "\n";
    std::printf("%-8s %-30s %-14s %s\n", "Volume", "File System", "Volume Size", "Start Sector");
    for (const auto& volume : collector.rows)
        std::printf("%-8s %-30s %-14s %llu\n", volume.indexText.c_str(), volume.fsName.c_str(),
                    volume.sizeText.c_str(), static_cast<unsigned long long>(volume.startSector));
    return 0;
}

}  // namespace prendle::cli
