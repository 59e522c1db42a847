// Bounds-checked decoding of on-disk bytes. Every call names its byte order; a call that
// would run past the end returns 0, leaves the position where it was and records the error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace prendle {

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    uint8_t u8() { return static_cast<uint8_t>(take(1, false)); }
    uint16_t le16() { return static_cast<uint16_t>(take(2, false)); }
    uint32_t le32() { return static_cast<uint32_t>(take(4, false)); }
    uint64_t le64() { return take(8, false); }
    uint16_t be16() { return static_cast<uint16_t>(take(2, true)); }
    uint32_t be32() { return static_cast<uint32_t>(take(4, true)); }
    uint64_t be64() { return take(8, true); }

    // An empty span on failure.
    std::span<const uint8_t> bytes(size_t count) {
        if (!require(count)) return {};
        auto out = bytes_.subspan(position_, count);
        position_ += count;
        return out;
    }
    void skip(size_t count) {
        if (require(count)) position_ += count;
    }
    void seek(size_t position) {
        if (position > bytes_.size()) {
            fail(position, 0);
            return;
        }
        position_ = position;
    }

    size_t position() const { return position_; }
    size_t remaining() const { return bytes_.size() - position_; }
    bool ok() const { return !failed_; }
    const std::string& error() const { return error_; }

private:
    bool require(size_t count) {
        if (count <= bytes_.size() - position_) return true;
        fail(position_, count);
        return false;
    }
    void fail(size_t at, size_t count) {
        if (failed_) return;
        failed_ = true;
        error_ = "read of " + std::to_string(count) + " bytes at offset " + std::to_string(at) +
                 " runs past the end of a " + std::to_string(bytes_.size()) + "-byte structure";
    }
    uint64_t take(size_t width, bool bigEndian) {
        if (!require(width)) return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            uint64_t byte = bytes_[position_ + i];
            value |= bigEndian ? byte << (8 * (width - 1 - i)) : byte << (8 * i);
        }
        position_ += width;
        return value;
    }

    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
    bool failed_ = false;
    std::string error_;
};

// One-off reads at a fixed offset, for tables of header fields.
inline uint32_t le32At(std::span<const uint8_t> bytes, size_t offset) {
    ByteReader reader(bytes);
    reader.seek(offset);
    return reader.le32();
}

}  // namespace prendle
