// Entry points for the raw-recovery fuzz targets: a signature file, and the carving loop
// over a small volume with the signatures the input carries (or the default table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace prendle::fuzz {

int fuzzRaw(const std::string& kind, const uint8_t* data, size_t size);

}  // namespace prendle::fuzz
