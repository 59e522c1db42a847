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

struct FsOptions {
    std::string image;
    int volume = -1;  // row of the standard volume search; -1: the image is the volume
    std::string mode = "standard";
    std::string fileSystem;  // read the volume as this kind instead of the one found
    bool json = false;
    std::string outFolder;
    std::string path = "/";
};

// One line on stderr; returns the exit code for bad input.
int fail(const std::string& message);

// Each returns the process exit code; failures print one line on stderr.
int runInfo(const InfoOptions& options);
int runCat(const CatOptions& options);
int runExport(const ExportOptions& options);
int runVolumes(const VolumesOptions& options);
int runList(const FsOptions& options);
int runRecover(const FsOptions& options);

}  // namespace prendle::cli
