// Writing carved hits into an output folder: one new file per hit, never over an existing one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/progress.h"
#include "disk/volume_view.h"
#include "raw/my_jpg.h"

namespace prendle::raw {

struct SavedHit {
    size_t hitIndex = 0;
    std::string fileName;  // inside the output folder; empty when the hit was not written
    std::string error;     // why it was not written
};

struct SaveHitsSummary {
    uint64_t saved = 0;
    uint64_t failed = 0;
    bool stopped = false;
    std::vector<SavedHit> files;  // one per hit asked for, in order, up to a stop
};

// The name a hit is saved under before making it unique: its offset, a dot and its
// extension ("1048576.jpg"), made safe to create inside a folder.
std::string hitFileName(const myJpg& engine, size_t hitIndex);

// Writes each hit's bytes from the view into outFolder (which must exist). A name that is
// taken gets " (2)", " (3)", ... before its extension. A hit whose bytes cannot all be read
// or written is counted as failed and leaves no file behind.
SaveHitsSummary saveHits(const myJpg& engine, const std::vector<size_t>& hitIndexes,
                         const VolumeView& view, const std::string& outFolder, Progress& progress);

// The closing message: how many files were saved where, and how many failed.
std::string saveSummaryText(const SaveHitsSummary& summary, const std::string& outFolder);

}  // namespace prendle::raw
