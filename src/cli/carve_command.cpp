// prendle-cli carve: the carving engine over a volume of an image, each hit written into the
// output folder, with the same signature files and saving the raw recovery page uses.
#include "cli/carve_command.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "disk/image_kind.h"
#include "raw/carve_save.h"
#include "raw/my_jpg.h"
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

// The folder of the running program, where the build puts FileSetting.txt.
std::string defaultSignaturePath() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "FileSetting.txt";
    return (program.parent_path() / "FileSetting.txt").string();
}

// The volume's megabytes as the volume list shows them ("100   MB").
uint64_t megabytesOf(const std::string& sizeText) {
    uint64_t value = 0;
    for (char c : sizeText) {
        if (c < '0' || c > '9') break;
        if (value > (UINT64_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

Result<VolumeView> chooseVolume(const readWriteInterface& reader, int volume) {
    if (volume < 0) return VolumeView::toDiskEnd(reader, 0);
    VolumeRows rows;
    auto& mutableReader = const_cast<readWriteInterface&>(reader);
    Partition partition(mutableReader, rows);
    partition.gptEnabled = hasGptHeader(mutableReader);
    (void)partition.standardSearch();
    if (static_cast<size_t>(volume) >= rows.rows.size())
        return corruptError("no volume " + std::to_string(volume) + " (the disk has " +
                            std::to_string(rows.rows.size()) + ")");
    const VolumeInfo& info = rows.rows[static_cast<size_t>(volume)];
    VolumeView view = VolumeView::toDiskEnd(reader, info.startSector);
    const uint64_t megabytes = megabytesOf(info.sizeText);
    if (megabytes == 0) return corruptError("zero size volume..");
    view.length = std::min(view.length, checkedMul(megabytes, 1ull << 20).value_or(view.length));
    return view;
}

// Status on stderr, at most once per percent.
class ConsoleProgress : public Progress {
public:
    explicit ConsoleProgress(bool quiet) : quiet_(quiet) {}
    void progressRange(uint64_t, uint64_t upper) override { upper_ = upper; }
    void progressPos(uint64_t position) override {
        if (quiet_ || upper_ == 0) return;
        const uint64_t percent = std::min<uint64_t>(100, position * 100 / upper_);
        if (percent == lastPercent_) return;
        lastPercent_ = percent;
        std::fprintf(stderr, "\rcarving: %3llu%%", static_cast<unsigned long long>(percent));
        if (percent == 100) std::fprintf(stderr, "\n");
    }

private:
    bool quiet_;
    uint64_t upper_ = 0;
    uint64_t lastPercent_ = 101;
};

}  // namespace

int runCarve(const CarveOptions& options) {
    auto opened = openImage(options.image);
    if (!opened) return fail(opened.error().message);
    const readWriteInterface& reader = *opened.value();
    auto view = chooseVolume(reader, options.volume);
    if (!view) return fail(view.error().message);

    const std::string signaturePath =
        options.signatures.empty() ? defaultSignaturePath() : options.signatures;
    auto signatures = raw::readSignatureFile(signaturePath);
    if (!signatures) return fail(signaturePath + ": " + signatures.error().message);
    raw::myJpg engine;
    if (auto added = engine.addSignatures(signatures.value()); !added)
        return fail(added.error().message);

    std::error_code error;
    std::filesystem::create_directories(options.outFolder, error);
    if (error || !std::filesystem::is_directory(options.outFolder))
        return fail("cannot create the output folder " + options.outFolder);

    ConsoleProgress progress(options.json || !::isatty(2));
    auto scanned = engine.carveVolume(view.value(), progress);
    if (!scanned) return fail(scanned.error().message);
    for (const std::string& warning : scanned.value().warnings)
        std::cerr << "prendle-cli: warning: " << warning << "\n";

    std::vector<size_t> all(engine.hits.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    Progress quiet;
    const raw::SaveHitsSummary saved =
        raw::saveHits(engine, all, view.value(), options.outFolder, quiet);

    if (options.json) {
        for (const raw::SavedHit& file : saved.files) {
            const raw::CarveHit& hit = engine.hits[file.hitIndex];
            nlohmann::json line = {{"offset", hit.offset},
                                   {"length", hit.size},
                                   {"type", engine.ruleOf(hit).extensionText()},
                                   {"category", engine.ruleOf(hit).categoryText()},
                                   {"file", file.fileName}};
            if (!file.error.empty()) line["error"] = file.error;
            std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                      << "\n";
        }
    } else {
        std::cout << engine.hits.size() << " hit(s). "
                  << raw::saveSummaryText(saved, options.outFolder) << "\n";
    }
    for (const raw::SavedHit& file : saved.files) {
        if (!file.error.empty()) std::cerr << "prendle-cli: " << file.error << "\n";
    }
    return saved.failed == 0 ? 0 : 1;
}

}  // namespace prendle::cli
