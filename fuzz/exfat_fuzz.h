// Entry points for the exFAT fuzz targets: entry sets decoded at every slot, and a whole
// small volume parsed, walked and extracted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace prendle::fuzz {

int fuzzExFat(const std::string& kind, const uint8_t* data, size_t size);

}  // namespace prendle::fuzz
