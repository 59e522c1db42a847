#include "raw_fuzz.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "disk/memory_sector_source.h"
#include "raw/default_signatures.h"
#include "raw/my_jpg.h"
#include "raw/signature_file.h"

namespace prendle::fuzz {

namespace {

// A loaded signature file must survive a round trip through the writer.
void fuzzSignatures(std::span<const uint8_t> bytes) {
    auto loaded = raw::decodeSignatureFile(bytes);
    if (!loaded) return;
    for (size_t i = 0; i < loaded.value().size(); ++i) {
        auto piece =
            bytes.subspan(i * raw::kSignatureRecordBytes).first<raw::kSignatureRecordBytes>();
        const auto again = raw::encodeSignatureRecord(raw::decodeSignatureRecord(piece));
        if (!std::equal(piece.begin(), piece.end(), again.begin())) std::abort();
    }
}

std::vector<raw::LoadedSignature> defaultSignatures() {
    std::vector<raw::LoadedSignature> out;
    for (const auto& fields : raw::defaultSignatureTable()) {
        auto record = raw::recordFromFields(fields);
        if (record) out.push_back(raw::loadedFromRecord(record.value()));
    }
    return out;
}

// The first byte says how many 173-byte records lead the input (0: the default table);
// the rest is the volume, scanned in 4 KiB windows so borders are crossed often.
void fuzzCarve(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    const size_t records = bytes[0] % 4;
    bytes = bytes.subspan(1);
    std::vector<raw::LoadedSignature> signatures;
    if (records > 0 && bytes.size() >= records * raw::kSignatureRecordBytes) {
        auto loaded = raw::decodeSignatureFile(bytes.first(records * raw::kSignatureRecordBytes));
        bytes = bytes.subspan(records * raw::kSignatureRecordBytes);
        if (!loaded) return;
        signatures = std::move(loaded.value());
    } else {
        static const auto kDefaults = defaultSignatures();
        signatures = kDefaults;
    }
    raw::myJpg engine;
    engine.windowBytes = 4096;
    if (!engine.addSignatures(signatures)) return;
    MemorySectorSource source(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    Progress quiet;
    auto result = engine.carveVolume(VolumeView::toDiskEnd(source, 0), quiet);
    if (!result) return;
    for (const raw::CarveHit& hit : engine.hits) {
        // Every hit lies inside the volume and has bytes.
        if (hit.size == 0 || hit.offset >= bytes.size() || hit.size > bytes.size() - hit.offset)
            std::abort();
        (void)engine.hitText(&hit - engine.hits.data());
    }
}

}  // namespace

int fuzzRaw(const std::string& kind, const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    if (kind == "raw_signatures") fuzzSignatures(bytes);
    if (kind == "raw_carve") fuzzCarve(bytes);
    return 0;
}

}  // namespace prendle::fuzz
