#include "fs/common/recover.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/file_handle.h"
#include "fs/common/file_time.h"
#include "fs/common/safe_name.h"
#include "fs/common/tree_walk.h"

namespace prendle::fs {

namespace {

// "<path>.partial", or "<path>.partial (2)" and on when that is taken.
std::string partialName(const std::string& path) {
    std::string candidate = path + ".partial";
    for (int n = 2; pathExists(candidate) && n < 1000; ++n)
        candidate = path + ".partial (" + std::to_string(n) + ")";
    return candidate;
}

struct PlannedFolder {
    std::string path;
    EntryFacts facts;
};

}  // namespace

uint64_t countFiles(const FileSystem& fileSystem, const std::vector<EntryId>& entries) {
    uint64_t count = 0;
    for (EntryId entry : entries) {
        if (!fileSystem.usable(entry)) continue;
        if (!fileSystem.isFolder(entry)) {
            ++count;
            continue;
        }
        if (isSelfOrParentLink(fileSystem.name(entry))) continue;
        walkTree(fileSystem, entry, "", [&](EntryId child, const std::string&, EntryId) {
            if (!fileSystem.isFolder(child)) ++count;
            return true;
        });
    }
    return count;
}

Status recoverFile(FileSystem& fileSystem, EntryId id, const std::string& targetPath,
                   Progress& progress) {
    const EntryFacts facts = fileSystem.facts(id);
    // An exclusive create: a file already in the output folder is never replaced; the
    // recovered one takes the next free number instead.
    std::string path = targetPath;
    auto file = FileHandle::createNew(path);
    const size_t slash = targetPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : targetPath.substr(0, slash + 1);
    const std::string base = targetPath.substr(folder.size());
    for (unsigned n = 2; !file && file.error().code == EEXIST && n < 10000; ++n) {
        path = folder + numberedFileName(base, n);
        file = FileHandle::createNew(path);
    }
    if (!file) return file.error();
    Status written = fileSystem.extract(id, file.value(), progress);
    // Times go on the open file: no second look-up of the path.
    Status timed = written ? restoreTimes(file.value(), facts.accessed, facts.modified) : Status{};
    file.value().close();
    if (!written) {
        // Kept for what it holds, under a name that says it is not the whole file.
        const std::string partial = partialName(path);
        if (std::rename(path.c_str(), partial.c_str()) != 0) std::remove(path.c_str());
        return written;
    }
    return timed;
}

RecoverReport recoverEntries(FileSystem& fileSystem, const std::vector<EntryId>& entries,
                             const std::string& outputFolder, Progress& progress,
                             const RecoverOptions& options) {
    RecoverReport report;
    std::vector<std::pair<EntryId, std::string>> files;
    std::vector<PlannedFolder> folders;
    auto fail = [&](const std::string& path, const std::string& message) {
        report.failures.push_back({path, message});
    };

    // First the folders, in the walk's order, and the list of files to write. Names from
    // the disk are made safe and unique within each output folder.
    FolderNames topNames;
    std::vector<FolderNames> namesIn;
    std::unordered_map<EntryId, size_t> folderIndex;  // entry -> its output folder's slot
    std::vector<std::string> folderPaths;
    auto createFolder = [&](EntryId id, const std::string& path) {
        std::error_code error;
        std::filesystem::create_directory(path, error);
        if (error) {
            fail(path, "cannot create the folder: " + error.message());
            return false;
        }
        ++report.foldersCreated;
        folders.push_back({path, fileSystem.facts(id)});
        folderIndex[id] = folderPaths.size();
        folderPaths.push_back(path);
        namesIn.emplace_back();
        return true;
    };
    for (EntryId entry : entries) {
        if (!progress.checkpoint()) break;
        if (!fileSystem.usable(entry)) continue;
        const std::string_view name = fileSystem.name(entry);
        const std::string target = outputFolder + "/" + topNames.claim(std::string(name));
        if (!fileSystem.isFolder(entry)) {
            if (!fileSystem.skippedOnSave(entry)) files.emplace_back(entry, target);
            continue;
        }
        if (isSelfOrParentLink(name) || !createFolder(entry, target)) continue;
        const bool complete = walkTree(
            fileSystem, entry, "",
            [&](EntryId child, const std::string&, EntryId parent) {
                auto slot = folderIndex.find(parent);
                if (slot == folderIndex.end()) return false;
                const size_t parentSlot = slot->second;
                const std::string childPath =
                    folderPaths[parentSlot] + "/" +
                    namesIn[parentSlot].claim(std::string(fileSystem.name(child)));
                if (!fileSystem.isFolder(child)) {
                    if (!fileSystem.skippedOnSave(child)) files.emplace_back(child, childPath);
                    return false;
                }
                if (isSelfOrParentLink(fileSystem.name(child))) return false;
                return createFolder(child, childPath);
            },
            &progress);
        if (!complete) break;
    }

    // Then the files. Creating many small files is kernel work that runs side by side;
    // parsers whose reads are positional take several writers.
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> fileFailures{0};
    std::mutex reportMutex;
    auto lastStatus = std::chrono::steady_clock::now() - std::chrono::hours(1);
    const auto interval = std::chrono::milliseconds(options.statusIntervalMilliseconds);
    auto writeFiles = [&](bool reports) {
        for (size_t i = next++; i < files.size(); i = next++) {
            if (!progress.checkpoint()) break;
            const auto& [id, path] = files[i];
            Status written = recoverFile(fileSystem, id, path, progress);
            const uint64_t count = ++done;
            if (!written) {
                if (written.error().kind == ErrorKind::Stopped) break;
                ++fileFailures;
                std::lock_guard lock(reportMutex);
                fail(path, written.error().message);
            }
            if (reports) {
                progress.progressPos(count);
                const auto now = std::chrono::steady_clock::now();
                if (now - lastStatus >= interval || count == files.size()) {
                    lastStatus = now;
                    progress.status("saving File  " + path);
                }
            }
        }
    };
    unsigned threads = options.threads != 0
                           ? options.threads
                           : std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    if (!options.parallelExtract) threads = 1;
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(writeFiles, false);
    writeFiles(true);
    for (auto& helper : helpers) helper.join();
    report.filesWritten = done - std::min<uint64_t>(done, fileFailures);

    // Folder times last, deepest first, once their contents are written.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        if (auto timed = restoreTimes(it->path, it->facts.accessed, it->facts.modified); !timed)
            fail(it->path, timed.error().message);
    report.stopped = progress.stopRequested();

    if (!report.failures.empty()) {
        // The whole list beside the saved files; the closing message names the first few.
        std::string listPath = outputFolder + "/Prendle failures.txt";
        for (int n = 2; pathExists(listPath) && n < 1000; ++n)
            listPath = outputFolder + "/Prendle failures (" + std::to_string(n) + ").txt";
        if (auto list = FileHandle::createWrite(listPath)) {
            std::string text;
            for (const RecoverFailure& failure : report.failures)
                text += failure.path + "\t" + failure.message + "\n";
            if (list.value().writeAt(0,
                                     {reinterpret_cast<const uint8_t*>(text.data()), text.size()}))
                report.failureListPath = listPath;
        }
    }
    return report;
}

std::string failureSummary(const RecoverReport& report, size_t namesShown) {
    if (report.failures.empty()) return {};
    const size_t count = report.failures.size();
    std::string text =
        std::to_string(count) + (count == 1 ? " file" : " files") + " could not be saved: ";
    for (size_t i = 0; i < count && i < namesShown; ++i) {
        if (i > 0) text += ", ";
        const std::string& path = report.failures[i].path;
        text += path.substr(path.find_last_of('/') + 1);
    }
    if (count > namesShown) text += " ...";
    if (!report.failureListPath.empty()) text += "\nThe full list is in " + report.failureListPath;
    return text;
}

}  // namespace prendle::fs
