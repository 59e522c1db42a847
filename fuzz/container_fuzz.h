// One entry point per container kind: open arbitrary bytes as an image and read from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace prendle::fuzz {

int fuzzContainer(const std::string& kind, const uint8_t* data, size_t size);

}  // namespace prendle::fuzz
