// Overflow-checked arithmetic for sizes and offsets that come from disk.
#pragma once

#include <cstdint>
#include <optional>

namespace prendle {

inline std::optional<uint64_t> checkedMul(uint64_t a, uint64_t b) {
    uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
    return out;
}

inline std::optional<uint64_t> checkedAdd(uint64_t a, uint64_t b) {
    uint64_t out = 0;
    if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
    return out;
}

inline uint64_t divideRoundingUp(uint64_t value, uint64_t divisor) {
    return value / divisor + (value % divisor != 0 ? 1 : 0);
}

}  // namespace prendle
