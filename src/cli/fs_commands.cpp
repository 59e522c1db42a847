// prendle-cli list and recover: any readable volume's entries as JSON Lines, or written out.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <string_view>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "disk/image_kind.h"
#include "disk/session.h"
#include "fs/common/file_time.h"
#include "fs/common/recover.h"
#include "fs/common/tree_walk.h"
#include "fs/file_systems.h"
#include "volumes/boot_sector.h"
#include "volumes/partition.h"

namespace prendle::cli {

namespace {

class VolumeRows : public VolumeSearchListener {
public:
    void setStatus(const std::string&) override {}
    void addVolume(const VolumeInfo& v, bool) override { rows.push_back(v); }
    void setProgressRange(uint32_t, uint32_t) override {}
    void setProgressPos(uint32_t) override {}
    void setFilterEnabled(bool) override {}
    std::vector<VolumeInfo> rows;
};

struct OpenVolume {
    std::unique_ptr<readWriteInterface> reader;
    const fs::FileSystemType* type = nullptr;
    std::unique_ptr<fs::FileSystem> fileSystem;
};

FileSystemKind kindOfBootKind(BootKind kind) {
    switch (kind) {
        case BootKind::Ntfs:
            return FileSystemKind::Ntfs;
        case BootKind::Fat32:
            return FileSystemKind::Fat32;
        case BootKind::Fat16:
            return FileSystemKind::Fat16;
        case BootKind::Fat12:
            return FileSystemKind::Fat12;
        case BootKind::ExFat:
            return FileSystemKind::ExFat;
        case BootKind::HfsPlus:
            return FileSystemKind::HfsPlus;
        case BootKind::Ext:
            return FileSystemKind::Ext;
        default:
            return FileSystemKind::Unknown;
    }
}

// What the image holds when it is a volume itself: its boot sector, or an ext
// superblock or HFS+ header 1024 bytes in.
FileSystemKind identifyVolumeAt(const readWriteInterface& reader, uint64_t startSector) {
    std::array<uint8_t, 1536> start{};
    // A start that cannot be read is recognised as nothing, which the caller reports.
    if (!reader.readDiskAt(startSector * kSectorBytes, start)) return FileSystemKind::Unknown;
    std::span<const uint8_t> bytes(start);
    BootSectorRules rules;
    if (auto boot = identifyBootSector(bytes.first(512), rules); boot.kind != BootKind::None)
        return kindOfBootKind(boot.kind);
    if (identifyExtSuperblock(bytes.subspan(1024)).kind == BootKind::Ext)
        return FileSystemKind::Ext;
    if (identifyHfsPlusHeader(bytes.subspan(1024)).kind == BootKind::HfsPlus)
        return FileSystemKind::HfsPlus;
    return FileSystemKind::Unknown;
}

std::string readableKinds() {
    std::string out;
    for (const fs::FileSystemType& type : fs::fileSystemTypes()) {
        if (!out.empty()) out += ", ";
        out += type.name;
    }
    return out;
}

Result<OpenVolume> openVolume(const FsOptions& options, ConsoleProgress& progress) {
    auto opened = openImage(options.image);
    if (!opened) return opened.error();
    OpenVolume out;
    out.reader = std::move(opened.value());
    VolumeInfo volume;
    if (options.volume >= 0) {
        VolumeRows rows;
        Partition partition(*out.reader, rows);
        partition.gptEnabled = hasGptHeader(*out.reader);
        (void)partition.standardSearch();
        if (static_cast<size_t>(options.volume) >= rows.rows.size())
            return corruptError("no volume " + std::to_string(options.volume) + " (the disk has " +
                                std::to_string(rows.rows.size()) + ")");
        volume = rows.rows[static_cast<size_t>(options.volume)];
    } else {
        volume.kind = identifyVolumeAt(*out.reader, 0);
        volume.fsName = fileSystemKindName(volume.kind);
    }
    if (!options.fileSystem.empty()) {
        volume.kind = fileSystemKindFromName(options.fileSystem);
        if (volume.kind == FileSystemKind::Unknown)
            return unsupportedError("unknown file system " + options.fileSystem);
    }
    out.type = fs::findFileSystem(volume.kind);
    if (out.type == nullptr || out.type->open == nullptr) {
        const std::string what = volume.kind == FileSystemKind::Unknown
                                     ? std::string("no file system prendle-cli recognises")
                                     : std::string(fileSystemKindName(volume.kind)) +
                                           ", which prendle-cli cannot read yet";
        return unsupportedError("the volume holds " + what + " (it reads " + readableKinds() + ")");
    }
    fs::ParseMode mode = fs::ParseMode::Standard;
    if (options.mode == "deep") mode = fs::ParseMode::Deep;
    if (options.mode == "advanced") mode = fs::ParseMode::Advanced;
    if (std::find(out.type->modes.begin(), out.type->modes.end(), mode) == out.type->modes.end())
        return unsupportedError(std::string(out.type->name) + " offers no " +
                                fs::parseModeName(mode) + " mode");
    out.fileSystem = out.type->open(VolumeView::toDiskEnd(*out.reader, volume.startSector), volume,
                                    fs::OpenOptions{});
    auto parsed = out.fileSystem->parse(mode, progress);
    progress.finishLine();
    if (!parsed) return parsed.error();
    for (const std::string& warning : parsed.value().warnings)
        std::cerr << "prendle-cli: warning: " << warning << "\n";
    return out;
}

// A JSON string: quotes, backslashes and control characters escaped. Names arrive as
// valid UTF-8 (unpaired UTF-16 halves were replaced when they were decoded).
void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace

int runList(const FsOptions& options) {
    ConsoleProgress progress;
    auto opened = openVolume(options, progress);
    if (!opened) return fail(opened.error().message);
    const fs::FileSystem& fileSystem = *opened.value().fileSystem;
    // Lines are written by hand: a listing of a large volume is mostly this loop.
    std::string out;
    out.reserve(1 << 17);
    auto flush = [&] {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
    };
    fs::walkTree(fileSystem, fs::kNoEntry, "",
                 [&](fs::EntryId id, const std::string& path, fs::EntryId) {
                     const fs::EntryFacts e = fileSystem.facts(id);
                     out += "{\"path\":";
                     appendJsonString(out, std::string_view(path).substr(1));
                     out += e.folder ? ",\"kind\":\"dir\"" : ",\"kind\":\"file\"";
                     out += ",\"size\":" + std::to_string(e.folder ? 0 : e.size);
                     out += e.deleted ? ",\"deleted\":true" : ",\"deleted\":false";
                     out += ",\"created\":\"" + fileTimeIso8601(e.created) + "\"";
                     out += ",\"modified\":\"" + fileTimeIso8601(e.modified) + "\"";
                     out += ",\"accessed\":\"" + fileTimeIso8601(e.accessed) + "\"";
                     out += ",\"record\":" + std::to_string(id) + "}\n";
                     if (out.size() > (1 << 16)) flush();
                     return true;
                 });
    flush();
    return 0;
}

int runRecover(const FsOptions& options) {
    struct stat info {};
    if (::stat(options.outFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return fail(options.outFolder + ": no such folder");
    ConsoleProgress progress;
    auto opened = openVolume(options, progress);
    if (!opened) return fail(opened.error().message);
    fs::FileSystem& fileSystem = *opened.value().fileSystem;

    // Find the folder to recover by its path from the first level.
    fs::EntryId start = fs::kNoEntry;
    std::string rest = options.path;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string part = rest.substr(0, slash);
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (part.empty()) continue;
        bool found = false;
        for (fs::EntryId child : fs::childrenOrTop(fileSystem, start)) {
            if (fileSystem.name(child) == part && fileSystem.isFolder(child)) {
                start = child;
                found = true;
                break;
            }
        }
        if (!found) return fail("no folder " + options.path + " on the volume");
    }
    fs::RecoverOptions recoverOptions;
    recoverOptions.parallelExtract = opened.value().type->parallelExtract;
    const std::vector<fs::EntryId> entries = fs::childrenOrTop(fileSystem, start);
    progress.progressRange(0, fs::countFiles(fileSystem, entries));
    const fs::RecoverReport report =
        fs::recoverEntries(fileSystem, entries, options.outFolder, progress, recoverOptions);
    progress.finishLine();
    for (const fs::RecoverFailure& failure : report.failures)
        std::cerr << "prendle-cli: " << failure.path << ": " << failure.message << "\n";
    if (!report.failures.empty())
        return fail(std::to_string(report.failures.size()) +
                    (report.failures.size() == 1 ? " file" : " files") + " could not be saved");
    return 0;
}

}  // namespace prendle::cli
