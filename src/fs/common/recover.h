// Writes a subtree of a parsed volume below an output folder: the folders first, then the
// files on every core (or one writer where the file system reads through shared state),
// then the folders' times, deepest first. Names are made safe and unique in each folder,
// so nothing lands outside it. The browser's save and prendle-cli recover both use it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/progress.h"
#include "fs/common/file_system.h"

namespace prendle::fs {

struct RecoverFailure {
    std::string path;
    std::string message;
};

struct RecoverReport {
    uint64_t filesWritten = 0;
    uint64_t foldersCreated = 0;
    std::vector<RecoverFailure> failures;
    bool stopped = false;
    std::string failureListPath;  // where the full failure list was written, if any
};

struct RecoverOptions {
    unsigned threads = 0;  // 0: one per core, at most 8
    bool parallelExtract = false;
    // Status texts are sent at most this often, so the status line stays readable.
    unsigned statusIntervalMilliseconds = 100;
};

// Files counted below the given entries, as the save's question and progress range use.
uint64_t countFiles(const FileSystem& fileSystem, const std::vector<EntryId>& entries);

// Writes each entry of `entries` (and everything below the folders among them) into
// outputFolder. Progress gets "saving File  <path>" and the number of files done.
RecoverReport recoverEntries(FileSystem& fileSystem, const std::vector<EntryId>& entries,
                             const std::string& outputFolder, Progress& progress,
                             const RecoverOptions& options = {});

// Writes one file entry as targetPath with its times. A file that could not be written
// whole never looks complete: it is renamed to "<name>.partial" and keeps no times.
Status recoverFile(FileSystem& fileSystem, EntryId id, const std::string& targetPath,
                   Progress& progress);

// "3 files could not be saved: a.txt, b.doc, c.jpg ..." for a closing message.
std::string failureSummary(const RecoverReport& report, size_t namesShown = 5);

}  // namespace prendle::fs
