// prendle-cli commands over the same core the pages use.
#pragma once

#include <cstdint>
#include <string>

namespace prendle::cli {

struct InfoOptions {
    std::string image;
    bool json = false;
};
struct CatOptions {
    std::string image;
};
struct ExportOptions {
    std::string image;
    std::string outFolder;
};

struct VolumesOptions {
    std::string image;
    bool gpt = false;
    bool mbr = false;
    bool advanced = false;
    uint64_t start = 0;
    uint64_t end = 0;
    bool noSkip = false;
    bool json = false;
};

// Each returns the process exit code; failures print one line on stderr.
int runInfo(const InfoOptions& options);
int runCat(const CatOptions& options);
int runExport(const ExportOptions& options);
int runVolumes(const VolumesOptions& options);

}  // namespace prendle::cli
