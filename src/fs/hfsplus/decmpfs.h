// Files that macOS compresses in place (decmpfs): a header in the com.apple.decmpfs
// attribute and the data either inline after it or in the resource fork as a table of
// blocks. zlib and stored kinds are read; LZVN and LZFSE are reported as unsupported.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"

namespace prendle::hfs_format {

// Header (16 bytes, little-endian unlike the rest of HFS+): magic "fpmc" 0,
// compression type 4, uncompressed size 8; inline data from 16.
struct DecmpfsHeader {
    uint32_t compressionType = 0;
    uint64_t uncompressedSize = 0;
    std::span<const uint8_t> inlineData;
};
inline constexpr uint32_t kDecmpfsMagic = 0x636D7066;  // "fpmc" read little-endian
inline constexpr uint32_t kDecmpfsStoredInline = 1;
inline constexpr uint32_t kDecmpfsZlibInline = 3;
inline constexpr uint32_t kDecmpfsZlibResource = 4;
inline constexpr uint32_t kDecmpfsLzvnInline = 7;
inline constexpr uint32_t kDecmpfsLzvnResource = 8;
inline constexpr uint32_t kDecmpfsStoredResource = 10;
inline constexpr uint32_t kDecmpfsLzfseInline = 11;
inline constexpr uint32_t kDecmpfsLzfseResource = 12;
// The resource-fork kinds cut the file into blocks of this many bytes.
inline constexpr uint64_t kDecmpfsBlockBytes = 65536;

Result<DecmpfsHeader> decodeDecmpfsHeader(std::span<const uint8_t> attribute);
// Whether the data lives in the resource fork.
bool decmpfsUsesResourceFork(uint32_t compressionType);
// "zlib", "LZVN", "LZFSE", ... for messages.
const char* decmpfsKindName(uint32_t compressionType);

// One compressed unit (the inline data or one resource block) of a zlib kind: a first
// byte with low nibble 0xF marks the rest as stored. Produces at most maxOut bytes.
Result<std::vector<uint8_t>> inflateDecmpfsUnit(std::span<const uint8_t> unit, size_t maxOut);

// The block table of a resource fork of kind 4: resource data offset (u32 big-endian at
// 0), then at that offset a length (big-endian) and the table: count (little-endian) and
// count pairs of offset and size relative to the table's start.
struct DecmpfsBlock {
    uint64_t forkOffset = 0;
    uint32_t length = 0;
};
// `head` holds the fork's first bytes (at least the table); forkBytes is its logical size.
// Needs is set to the bytes the table needs when head is too short.
Result<std::vector<DecmpfsBlock>> decodeDecmpfsBlockTable(std::span<const uint8_t> head,
                                                          uint64_t forkBytes,
                                                          uint64_t uncompressedSize,
                                                          uint64_t& needs);

}  // namespace prendle::hfs_format
