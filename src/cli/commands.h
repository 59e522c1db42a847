// prendle-cli commands over the same core the pages use.
#pragma once

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

// Each returns the process exit code; failures print one line on stderr.
int runInfo(const InfoOptions& options);
int runCat(const CatOptions& options);
int runExport(const ExportOptions& options);

}  // namespace prendle::cli
