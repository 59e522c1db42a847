// Entry point for whole-volume fuzzing of any file system in the table: the input is the
// volume; every mode it offers is parsed, the tree walked and the first entries extracted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace prendle::fuzz {

int fuzzVolume(const std::string& fileSystemName, const uint8_t* data, size_t size);

}  // namespace prendle::fuzz
