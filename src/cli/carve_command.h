// prendle-cli carve: finds files in a volume by their signatures and writes every hit.
#pragma once

#include <string>

namespace prendle::cli {

struct CarveOptions {
    std::string image;
    int volume = -1;         // row of `prendle-cli volumes`; -1: the whole image
    std::string signatures;  // empty: FileSetting.txt beside the program
    std::string outFolder;
    bool json = false;  // one JSON object per hit instead of the closing line
};

int runCarve(const CarveOptions& options);

}  // namespace prendle::cli
