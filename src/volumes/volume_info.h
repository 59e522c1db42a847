// One volume found on the disk, copied by value from page to page and into each parser.
#pragma once

#include <cstdint>
#include <string>

struct VolumeInfo {
    std::string fsName;
    std::string spareText;
    std::string indexText;
    std::string sizeText;
    uint64_t startSector = 0;
};
