// The carving engine: reads a volume in windows of several MiB, looks at the start of
// every 512-byte sector for a loaded start signature, and works out each hit's extent
// from an end signature (found at any byte), a size field or an approximate size.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/progress.h"
#include "disk/volume_view.h"
#include "raw/signature_file.h"

namespace prendle::raw {

// One carved file: where it starts in the volume, its length, and its signature.
struct CarveHit {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint8_t typeId = 0;
};

struct CarveSummary {
    uint64_t hitsFound = 0;  // by this scan
    uint64_t bytesScanned = 0;
    bool stopped = false;
    std::vector<std::string> warnings;
};

// How far an end signature is looked for when the rule gives no approximate size.
inline constexpr uint64_t kDefaultSpanBytes = 64ull << 20;
// The length of a hit whose rule has neither end signature, size field nor approximate size.
inline constexpr uint64_t kUnsizedHitBytes = 1ull << 20;
inline constexpr uint64_t kDefaultWindowBytes = 8ull << 20;

class myJpg {
public:
    std::vector<SignatureEntry> signatureEntries;
    std::vector<CarveRule> carveRules;
    std::vector<CarveHit> hits;
    std::map<std::string, uint64_t> categoryCounts;
    // Bytes read at a time; a multiple of 512 (tests make it small to cross borders).
    uint64_t windowBytes = kDefaultWindowBytes;

    // Appends signatures, giving each the next typeId; refuses (adding none) past 256.
    Status addSignatures(const std::vector<LoadedSignature>& loaded);

    // Scans the whole view. Hits are appended to `hits`; onHit (may be empty) hears each
    // new hit's index as it is found. A stop through progress ends the scan early and
    // still turns waiting starts with an approximate size into hits.
    Result<CarveSummary> carveVolume(const VolumeView& view, Progress& progress,
                                     const std::function<void(size_t)>& onHit = {});

    // The hit's list text: its offset, a blank, a dot and the extension ("1048576 .jpg").
    std::string hitText(size_t hitIndex) const;
    const CarveRule& ruleOf(const CarveHit& hit) const { return carveRules[hit.typeId]; }
};

}  // namespace prendle::raw
