// Entry points for the NTFS fuzz targets: one MFT record, a run list, LZNT1 input, and a
// whole small volume parsed and extracted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace prendle::fuzz {

int fuzzNtfs(const std::string& kind, const uint8_t* data, size_t size);

}  // namespace prendle::fuzz
