// Saving hits: each file is created exclusively, so nothing in the output folder is ever
// replaced, and is removed again when its bytes could not all be copied.
#include "raw/carve_save.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "fs/common/safe_name.h"

namespace prendle::raw {

namespace {

constexpr uint64_t kCopyBytes = 1 << 20;
constexpr unsigned kMaxNameTries = 100000;

std::string numbered(const std::string& name, unsigned n) {
    if (n < 2) return name;
    size_t dot = name.find_last_of('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    return name.substr(0, dot) + " (" + std::to_string(n) + ")" + name.substr(dot);
}

// Creates a file that did not exist; returns its descriptor and sets the name taken.
int createNew(const std::filesystem::path& folder, const std::string& name, std::string& taken,
              std::string& error) {
    for (unsigned n = 1; n < kMaxNameTries; ++n) {
        const std::string candidate = safeFileName(numbered(name, n));
        const std::string path = (folder / candidate).string();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            taken = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            error = "cannot create " + path + ": " + std::strerror(errno);
            return -1;
        }
    }
    error = "no free name for " + name + " in " + folder.string();
    return -1;
}

bool writeAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t done = ::write(fd, data, length);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

std::string hitFileName(const myJpg& engine, size_t hitIndex) {
    const CarveHit& hit = engine.hits.at(hitIndex);
    std::string extension = engine.ruleOf(hit).extensionText();
    // The extension comes from a signature file: no separators or dots may climb out.
    for (char& c : extension) {
        if (c == '.' || c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
    }
    std::string name = std::to_string(hit.offset);
    if (!extension.empty()) name += "." + extension;
    return safeFileName(name);
}

SaveHitsSummary saveHits(const myJpg& engine, const std::vector<size_t>& hitIndexes,
                         const VolumeView& view, const std::string& outFolder, Progress& progress) {
    SaveHitsSummary summary;
    const std::filesystem::path folder(outFolder);
    std::vector<uint8_t> buffer(kCopyBytes);
    progress.progressRange(0, hitIndexes.size());
    for (size_t i = 0; i < hitIndexes.size(); ++i) {
        progress.progressPos(i);
        if (!progress.checkpoint()) {
            summary.stopped = true;
            break;
        }
        SavedHit saved;
        saved.hitIndex = hitIndexes[i];
        if (saved.hitIndex >= engine.hits.size()) {
            saved.error = "no hit " + std::to_string(saved.hitIndex);
            ++summary.failed;
            summary.files.push_back(saved);
            continue;
        }
        const CarveHit& hit = engine.hits[saved.hitIndex];
        std::string taken;
        const int fd = createNew(folder, hitFileName(engine, saved.hitIndex), taken, saved.error);
        if (fd >= 0) {
            uint64_t done = 0;
            while (done < hit.size && saved.error.empty()) {
                if (!progress.checkpoint()) {
                    summary.stopped = true;
                    saved.error = "stopped";
                    break;
                }
                const auto piece = static_cast<size_t>(std::min(kCopyBytes, hit.size - done));
                std::span<uint8_t> out(buffer.data(), piece);
                if (!view.readAt(hit.offset + done, out)) {
                    saved.error = "read failed at volume byte " + std::to_string(hit.offset + done);
                } else if (!writeAll(fd, buffer.data(), piece)) {
                    saved.error = "write failed: " + std::string(std::strerror(errno));
                }
                done += piece;
            }
            if (::close(fd) != 0 && saved.error.empty()) {
                saved.error = "close failed: " + std::string(std::strerror(errno));
            }
            if (saved.error.empty()) {
                saved.fileName = taken;
            } else {
                std::error_code ignored;
                std::filesystem::remove(folder / taken, ignored);
            }
        }
        if (saved.fileName.empty()) {
            ++summary.failed;
        } else {
            ++summary.saved;
        }
        summary.files.push_back(saved);
        if (summary.stopped) break;
    }
    progress.progressPos(hitIndexes.size());
    return summary;
}

std::string saveSummaryText(const SaveHitsSummary& summary, const std::string& outFolder) {
    std::string text = "Saved " + std::to_string(summary.saved) + " file(s) in " + outFolder;
    if (summary.failed > 0) text += "; " + std::to_string(summary.failed) + " failed";
    if (summary.stopped) text += "; stopped before the end";
    return text + ".";
}

}  // namespace prendle::raw
