// prendle-cli list and recover: an NTFS volume's entries as JSON Lines, or written out.
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "cli/commands.h"
#include "disk/image_kind.h"
#include "disk/run_state.h"
#include "fs/common/file_time.h"
#include "fs/common/safe_name.h"
#include "fs/ntfs/ntfs.h"
#include "volumes/partition.h"

namespace prendle::cli {

namespace {

class QuietParse : public ParseListener {
public:
    void setStatus(const std::string&) override {}
    void setProgressRange(uint64_t, uint64_t) override {}
    void setProgressPos(uint64_t) override {}
};

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
    std::unique_ptr<ntfs> parser;
};

Result<OpenVolume> openNtfs(const NtfsOptions& options, ParseListener& listener) {
    resetRunState();
    auto opened = openImage(options.image);
    if (!opened) return opened.error();
    OpenVolume out;
    out.reader = std::move(opened.value());
    VolumeInfo volume;
    volume.fsName = "NTFS";
    if (options.volume >= 0) {
        VolumeRows rows;
        Partition partition(*out.reader, rows);
        partition.gptEnabled = hasGptHeader(*out.reader);
        (void)partition.standardSearch();
        if (static_cast<size_t>(options.volume) >= rows.rows.size())
            return corruptError("no volume " + std::to_string(options.volume) + " (the disk has " +
                                std::to_string(rows.rows.size()) + ")");
        volume = rows.rows[static_cast<size_t>(options.volume)];
    }
    out.parser = std::make_unique<ntfs>(*out.reader, volume, listener);
    out.parser->parse(options.mode == "deep" ? NtfsMode::Deep : NtfsMode::Standard);
    if (!out.parser->hasRoot() && options.mode != "deep")
        return corruptError("no NTFS root folder found on the volume");
    return out;
}

constexpr uint64_t kTopLevel = ~uint64_t{0};

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

// The first level as the browser shows it: the root's children, or in the deep mode
// ORPHAN_ENTRY alone.
std::vector<uint64_t> childrenOrTop(const ntfs& parser, uint64_t index) {
    if (index != kTopLevel) return parser.childrenOf(index);
    if (parser.hasRoot() && !parser.deepMode()) return parser.childrenOf(parser.rootIndex);
    return {parser.orphanIndex};
}

// Depth first from an entry (kTopLevel: the first level); each entry is visited once
// whatever its links say. visit(index, path, parent) returns whether to go inside.
template <class Visit>
void walk(const ntfs& parser, uint64_t start, const std::string& startPath, Visit visit) {
    std::vector<std::pair<uint64_t, std::string>> stack{{start, startPath}};
    std::vector<bool> seen(parser.entryTable.size(), false);
    while (!stack.empty()) {
        auto [index, path] = stack.back();
        stack.pop_back();
        std::vector<std::pair<uint64_t, std::string>> folders;
        for (uint64_t child : childrenOrTop(parser, index)) {
            if (seen[child]) continue;
            seen[child] = true;
            const MftEntry& entry = parser.entryTable[child];
            std::string childPath = path + "/" + entry.name;
            if (visit(child, childPath, index) && entry.kind == 'D')
                folders.emplace_back(child, childPath);
        }
        stack.insert(stack.end(), folders.rbegin(), folders.rend());
    }
}

}  // namespace

int runList(const NtfsOptions& options) {
    QuietParse listener;
    auto opened = openNtfs(options, listener);
    if (!opened) return fail(opened.error().message);
    const ntfs& parser = *opened.value().parser;
    // Lines are written by hand: a listing of a large volume is mostly this loop.
    std::string out;
    out.reserve(1 << 17);
    auto flush = [&] {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
    };
    walk(parser, kTopLevel, "", [&](uint64_t index, const std::string& path, uint64_t) {
        const MftEntry& e = parser.entryTable[index];
        out += "{\"path\":";
        appendJsonString(out, std::string_view(path).substr(1));
        out += e.kind == 'D' ? ",\"kind\":\"dir\"" : ",\"kind\":\"file\"";
        out += ",\"size\":" + std::to_string(e.kind == 'D' ? 0 : e.dataSize);
        out += (e.recordFlags & 1) == 0 ? ",\"deleted\":true" : ",\"deleted\":false";
        out += ",\"created\":\"" + fileTimeIso8601(e.created) + "\"";
        out += ",\"modified\":\"" + fileTimeIso8601(e.modified) + "\"";
        out += ",\"accessed\":\"" + fileTimeIso8601(e.accessed) + "\"";
        out += ",\"record\":" + std::to_string(index) + "}\n";
        if (out.size() > (1 << 16)) flush();
        return true;
    });
    flush();
    return 0;
}

int runRecover(const NtfsOptions& options) {
    struct stat info {};
    if (::stat(options.outFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return fail(options.outFolder + ": no such folder");
    QuietParse listener;
    auto opened = openNtfs(options, listener);
    if (!opened) return fail(opened.error().message);
    ntfs& parser = *opened.value().parser;

    // Find the folder to recover by its path from the root.
    uint64_t start = kTopLevel;
    std::string rest = options.path;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string part = rest.substr(0, slash);
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (part.empty()) continue;
        bool found = false;
        for (uint64_t child : childrenOrTop(parser, start)) {
            if (parser.entryTable[child].name == part && parser.entryTable[child].kind == 'D') {
                start = child;
                found = true;
                break;
            }
        }
        if (!found) return fail("no folder " + options.path + " on the volume");
    }

    // Output names are made safe and unique per folder, so nothing lands outside DIR.
    std::map<uint64_t, std::string> outputOf{{start, options.outFolder}};
    std::map<uint64_t, FolderNames> namesIn;
    std::vector<std::pair<std::string, const MftEntry*>> folders;
    std::vector<std::pair<uint64_t, std::string>> files;
    int failures = 0;
    walk(parser, start, "", [&](uint64_t index, const std::string&, uint64_t parent) {
        const MftEntry& e = parser.entryTable[index];
        auto folder = outputOf.find(parent);
        if (folder == outputOf.end()) return false;
        std::string target = folder->second + "/" + namesIn[parent].claim(e.name);
        if (e.kind == 'D') {
            std::error_code error;
            std::filesystem::create_directory(target, error);
            if (error) {
                std::cerr << "prendle-cli: cannot create " << target << ": " << error.message()
                          << "\n";
                ++failures;
                return false;
            }
            outputOf[index] = target;
            folders.emplace_back(target, &e);
            return true;
        }
        files.emplace_back(index, target);
        return false;
    });
    // Files are written by as many threads as there are cores: creating many small
    // files is kernel work that runs side by side. The parser's reads are positional.
    std::atomic<size_t> nextFile{0};
    std::atomic<int> failedFiles{0};
    std::mutex errorOutput;
    auto writeFiles = [&] {
        for (size_t i = nextFile++; i < files.size(); i = nextFile++) {
            const auto& [index, target] = files[i];
            const MftEntry& e = parser.entryTable[index];
            auto file = FileHandle::createWrite(target);
            Status written = file ? parser.extractData(index, file.value()) : Status(file.error());
            if (file) file.value().close();
            if (!written) {
                std::lock_guard lock(errorOutput);
                std::cerr << "prendle-cli: " << target << ": " << written.error().message << "\n";
                ++failedFiles;
            }
            if (file) (void)restoreTimes(target, e.accessed, e.modified);
        }
    };
    std::vector<std::thread> writers;
    const unsigned threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    for (unsigned t = 1; t < threads; ++t) writers.emplace_back(writeFiles);
    writeFiles();
    for (auto& writer : writers) writer.join();
    failures += failedFiles;
    // Folder times last, once their contents are written.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        (void)restoreTimes(it->first, it->second->accessed, it->second->modified);
    return failures == 0 ? 0 : 1;
}

}  // namespace prendle::cli
