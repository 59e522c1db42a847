// Entry point for the exFAT entry-set fuzz target: sets decoded at every slot of a
// directory cluster. Whole volumes go through the shared volume target (volume_exfat).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace prendle::fuzz {

int fuzzExFat(const std::string& kind, const uint8_t* data, size_t size);

}  // namespace prendle::fuzz
