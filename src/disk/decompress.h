// Decompressors for the compressed clusters and grains of qcow2 and stream-optimized VMDK.
// Each fills at most out.size() bytes and reports how many it produced.
#pragma once

#include <cstdint>
#include <span>

#include "common/error.h"

namespace prendle {

enum class Compression { DeflateRaw, Zlib, Zstd };

// Input may carry padding after the stream (qcow2 rounds to sectors); decoding stops when
// `out` is full or the stream ends.
Result<size_t> decompressInto(Compression method, std::span<const uint8_t> in,
                              std::span<uint8_t> out);
bool zstdAvailable();

}  // namespace prendle
