// Saving hits: each file is created exclusively, so nothing in the output folder is ever
// replaced, and is removed again when its bytes could not all be copied.
#include "raw/carve_save.h"

#include <cerrno>
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

// Creates a file that did not exist, trying numbered names while the name is taken.
Result<FileHandle> createNew(const std::filesystem::path& folder, const std::string& name,
                             std::string& taken) {
    for (unsigned n = 1; n < kMaxNameTries; ++n) {
        const std::string candidate = safeFileName(numbered(name, n));
        auto created = FileHandle::createNew((folder / candidate).string());
        if (created) {
            taken = candidate;
            return created;
        }
        if (created.error().code != EEXIST) return created.error();
    }
    return ioError("no free name for " + name + " in " + folder.string());
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
        auto file = createNew(folder, hitFileName(engine, saved.hitIndex), taken);
        if (!file) saved.error = file.error().message;
        if (file) {
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
                } else if (auto written = file.value().writeAt(done, out); !written) {
                    saved.error = written.error().message;
                }
                done += piece;
            }
            file.value().close();
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
