// Signature records: 173 bytes each, written by the editor and by the build's default-file
// generator, read back by the carver. Tests build records by hand and through the editor.
#include "raw/signature_file.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "common/byte_reader.h"
#include "common/utf16.h"

namespace prendle::raw {

namespace {

// UTF-8 to UTF-16 units; a malformed byte becomes U+FFFD.
std::u16string utf8ToUtf16(const std::string& text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        uint32_t code = 0xFFFD;
        size_t length = 1;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07u;
        } else {
            length = 0;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (!valid || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out += u'\uFFFD';
            i += 1;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += length;
    }
    return out;
}

template <size_t N>
std::string unitsToUtf8(const std::array<char16_t, N>& units) {
    std::array<uint8_t, 2 * N> bytes{};
    for (size_t i = 0; i < N; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
    return utf16LeToUtf8(bytes);
}

// Copies at most N-1 units so that a zero unit always ends the field; a surrogate pair
// that would be cut in half is left out whole.
template <size_t N>
std::array<char16_t, N> unitsFromText(const std::u16string& text) {
    std::array<char16_t, N> out{};
    size_t count = std::min(text.size(), N - 1);
    if (count > 0 && count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF)
        --count;
    std::copy_n(text.begin(), count, out.begin());
    return out;
}

// A digits-only field: empty gives fallback; anything above limit is refused.
Result<uint64_t> parseDigits(const std::string& text, const std::string& field, uint64_t limit,
                             uint64_t fallback) {
    if (text.empty()) return fallback;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return corruptError(field + " accepts digits only.");
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10) {
            return corruptError(field + " must be at most " + std::to_string(limit) + ".");
        }
        value = value * 10 + digit;
    }
    return value;
}

bool hasFixedByte(std::span<const uint8_t> pattern) {
    return std::any_of(pattern.begin(), pattern.end(),
                       [](uint8_t b) { return b != kWildcardByte; });
}

void put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
void put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
void put64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::string CarveRule::extensionText() const {
    return unitsToUtf8(extension);
}
std::string CarveRule::categoryText() const {
    return unitsToUtf8(category);
}

std::array<uint8_t, kSignatureRecordBytes> encodeSignatureRecord(const SignatureRecord& r) {
    std::array<uint8_t, kSignatureRecordBytes> out{};
    for (size_t i = 0; i < kExtensionUnits; ++i) put16(&out[2 * i], r.extension[i]);
    put16(&out[10], r.startOffset);
    out[12] = r.extensionLength;
    std::copy(r.startPattern.begin(), r.startPattern.end(), out.begin() + 13);
    std::copy(r.endPattern.begin(), r.endPattern.end(), out.begin() + 23);
    out[33] = r.startLength;
    out[34] = r.endLength;
    out[35] = r.recordIndex;
    put32(&out[36], static_cast<uint32_t>(r.sizeFieldOffset));
    put32(&out[40], r.sizeFieldBytes);
    put32(&out[44], r.headerSize);
    out[48] = r.sizeIncludesHeader;
    put32(&out[49], r.endTrailerBytes);
    put64(&out[53], static_cast<uint64_t>(r.approxSize));
    put64(&out[61], static_cast<uint64_t>(r.skipSize));
    for (size_t i = 0; i < kCategoryUnits; ++i) put16(&out[69 + 2 * i], r.category[i]);
    put32(&out[169], r.reserved);
    return out;
}

SignatureRecord decodeSignatureRecord(std::span<const uint8_t, kSignatureRecordBytes> bytes) {
    ByteReader in(bytes);
    SignatureRecord r;
    for (auto& unit : r.extension) unit = in.le16();
    r.startOffset = in.le16();
    r.extensionLength = in.u8();
    auto start = in.bytes(kPatternBytes);
    std::copy(start.begin(), start.end(), r.startPattern.begin());
    auto end = in.bytes(kPatternBytes);
    std::copy(end.begin(), end.end(), r.endPattern.begin());
    r.startLength = in.u8();
    r.endLength = in.u8();
    r.recordIndex = in.u8();
    r.sizeFieldOffset = static_cast<int32_t>(in.le32());
    r.sizeFieldBytes = in.le32();
    r.headerSize = in.le32();
    r.sizeIncludesHeader = in.u8();
    r.endTrailerBytes = in.le32();
    r.approxSize = static_cast<int64_t>(in.le64());
    r.skipSize = static_cast<int64_t>(in.le64());
    for (auto& unit : r.category) unit = in.le16();
    r.reserved = in.le32();
    return r;
}

std::string validateSignatureRecord(const SignatureRecord& r) {
    const auto startOffset = static_cast<int16_t>(r.startOffset);
    if (r.startLength > kPatternBytes || r.endLength > kPatternBytes) {
        return "signature lengths " + std::to_string(r.startLength) + " and " +
               std::to_string(r.endLength) + " exceed the 10-byte pattern fields";
    }
    // A one-byte pattern would match a large share of all sectors.
    if (r.startLength < 2) {
        return "start signature of " + std::to_string(r.startLength) + " bytes (at least 2)";
    }
    if (r.endLength == 1) return "end signature of 1 byte (0 for none, or at least 2)";
    if (!hasFixedByte(std::span(r.startPattern).first(r.startLength)) ||
        (r.endLength > 0 && !hasFixedByte(std::span(r.endPattern).first(r.endLength)))) {
        return "a signature made only of the wildcard byte 0x2A matches everything";
    }
    if (startOffset < 0 || startOffset + r.startLength > static_cast<int>(kSectorBytes)) {
        return "start signature offset " + std::to_string(startOffset) + " with " +
               std::to_string(r.startLength) + " bytes leaves the 512-byte sector";
    }
    if (r.sizeFieldBytes > kMaxSizeFieldBytes) {
        return "size field of " + std::to_string(r.sizeFieldBytes) + " bytes (at most 8)";
    }
    if (r.sizeFieldOffset > 0 && r.sizeFieldBytes > 0 &&
        static_cast<uint64_t>(r.sizeFieldOffset) + r.sizeFieldBytes > kSectorBytes) {
        return "size field at offset " + std::to_string(r.sizeFieldOffset) + " with " +
               std::to_string(r.sizeFieldBytes) + " bytes leaves the first sector";
    }
    if (r.approxSize < 0 || r.skipSize < 0) {
        return "negative approximate size " + std::to_string(r.approxSize) + " or skip size " +
               std::to_string(r.skipSize);
    }
    if (r.endTrailerBytes > kMaxEndTrailerBytes) {
        return "trailer of " + std::to_string(r.endTrailerBytes) + " bytes after the end " +
               "signature (at most " + std::to_string(kMaxEndTrailerBytes) + ")";
    }
    return {};
}

Result<std::vector<uint8_t>> parsePatternText(const std::string& text) {
    std::vector<uint8_t> out;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t comma = text.find(',', begin);
        if (comma == std::string::npos) comma = text.size();
        const std::string piece = text.substr(begin, comma - begin);
        begin = comma + 1;
        if (piece.empty()) continue;
        size_t i = 0;
        while (i < piece.size() && (piece[i] == ' ' || piece[i] == '\t')) ++i;
        if (i + 1 < piece.size() && piece[i] == '0' && (piece[i + 1] == 'x' || piece[i + 1] == 'X'))
            i += 2;
        uint32_t value = 0;
        while (i < piece.size() && std::isxdigit(static_cast<unsigned char>(piece[i]))) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(piece[i])));
            // Only the low byte is kept, so the high digits may fall away.
            value =
                ((value << 4) | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10)) & 0xFFFu;
            ++i;
        }
        out.push_back(static_cast<uint8_t>(value & 0xFF));
        if (out.size() > kPatternBytes) {
            return corruptError("A signature holds at most 10 bytes.");
        }
    }
    return out;
}

Result<SignatureRecord> recordFromFields(const SignatureFields& f) {
    SignatureRecord r;
    const std::u16string extension = utf8ToUtf16(f.extension);
    if (extension.empty()) return corruptError(kEmptyExtensionText);
    // Only four characters fit; the typed length is kept as the format has it.
    r.extension = unitsFromText<kExtensionUnits>(extension);
    r.extensionLength = static_cast<uint8_t>(extension.size() & 0xFF);

    auto start = parsePatternText(f.startSignature);
    if (!start) return start.error();
    if (start.value().empty()) return corruptError(kEmptySignatureText);
    std::copy(start.value().begin(), start.value().end(), r.startPattern.begin());
    r.startLength = static_cast<uint8_t>(start.value().size());
    auto end = parsePatternText(f.endSignature);
    if (!end) return end.error();
    std::copy(end.value().begin(), end.value().end(), r.endPattern.begin());
    r.endLength = static_cast<uint8_t>(end.value().size());

    constexpr uint64_t kInt32Max = std::numeric_limits<int32_t>::max();
    auto sizeOffset = parseDigits(f.sizeFieldOffset, "Offset to Size Byte", kSectorBytes, 0);
    auto sizeBytes = parseDigits(f.sizeFieldBytes, "Number Of Bytes In Size", 255, 0);
    auto header = parseDigits(f.headerSize, "Header size", kInt32Max, 0);
    auto skip = parseDigits(f.skipSize, "Size_to_skip_WhileParsing", kInt32Max, 0);
    auto approx = parseDigits(f.approxSize, "Approx file size", kInt32Max, 0);
    auto startOffset = parseDigits(f.startOffset, "Starting Signature Offset", kSectorBytes, 0);
    auto trailer =
        parseDigits(f.endTrailerBytes, "Bytes after the end signature", kMaxEndTrailerBytes, 0);
    for (const auto* field :
         {&sizeOffset, &sizeBytes, &header, &skip, &approx, &startOffset, &trailer}) {
        if (!*field) return field->error();
    }
    r.sizeFieldOffset = sizeOffset.value() == 0 ? -1 : static_cast<int32_t>(sizeOffset.value());
    r.sizeFieldBytes = static_cast<uint32_t>(sizeBytes.value());
    r.headerSize = static_cast<uint32_t>(header.value());
    r.sizeIncludesHeader = f.sizeIncludesHeader ? 1 : 0;
    r.skipSize = static_cast<int64_t>(skip.value());
    r.approxSize = static_cast<int64_t>(approx.value());
    r.startOffset = static_cast<uint16_t>(startOffset.value());
    r.endTrailerBytes = static_cast<uint32_t>(trailer.value());
    if (!f.category.empty()) r.category = unitsFromText<kCategoryUnits>(utf8ToUtf16(f.category));

    // A record the carver would refuse is not written in the first place.
    const std::string problem = validateSignatureRecord(r);
    if (!problem.empty()) return corruptError("This signature cannot be used: " + problem + ".");
    return r;
}

Result<std::string> saveSignatureRecord(const SignatureFields& fields, const FileHandle& out) {
    if (!out.isOpen()) return corruptError(kNoOutputFileText);
    auto length = out.size();
    if (!length) return ioError("Cannot read the file's length: " + length.error().message);
    // A torn tail would shift every later record; appending there would make it worse.
    if (length.value() % kSignatureRecordBytes != 0) {
        return corruptError("The file is not a signature file: its length " +
                            std::to_string(length.value()) +
                            " is not a whole number of 173-byte records.");
    }
    auto record = recordFromFields(fields);
    if (!record) return record.error();
    record.value().recordIndex =
        static_cast<uint8_t>((length.value() / kSignatureRecordBytes) & 0xFF);
    const auto bytes = encodeSignatureRecord(record.value());
    auto written = out.writeAt(length.value(), bytes);
    if (!written) {
        // Never leave part of a record behind.
        (void)out.truncate(length.value());
        return ioError("The signature could not be written: " + written.error().message);
    }
    return std::string(kRecordSavedText);
}

LoadedSignature loadedFromRecord(const SignatureRecord& r) {
    LoadedSignature out;
    out.entry.extension = r.extension;
    out.entry.extension[kExtensionUnits - 1] = 0;
    out.entry.extensionLength = r.extensionLength;
    out.entry.startPattern = r.startPattern;
    out.entry.endPattern = r.endPattern;
    out.entry.startLength = r.startLength;
    out.entry.endLength = r.endLength;
    out.entry.startOffset = static_cast<int16_t>(r.startOffset);
    out.rule.startLength = r.startLength;
    out.rule.endLength = r.endLength;
    out.rule.extension = out.entry.extension;
    out.rule.sizeFieldOffset = r.sizeFieldOffset > 0 ? r.sizeFieldOffset : -1;
    out.rule.sizeFieldBytes = r.sizeFieldBytes;
    out.rule.headerSize = r.headerSize;
    out.rule.sizeIncludesHeader = r.sizeIncludesHeader;
    out.rule.endTrailerBytes = r.endTrailerBytes;
    out.rule.approxSize = r.approxSize;
    out.rule.skipSize = r.skipSize;
    out.rule.category = r.category;
    out.rule.category[kCategoryUnits - 1] = 0;
    return out;
}

Result<std::vector<LoadedSignature>> decodeSignatureFile(std::span<const uint8_t> bytes) {
    const std::string invalid = std::string(kInvalidFileText) + " ";
    if (bytes.size() < kSignatureRecordBytes) {
        return corruptError(invalid + "(" + std::to_string(bytes.size()) +
                            " bytes, shorter than one 173-byte record)");
    }
    if (bytes.size() % kSignatureRecordBytes != 0) {
        return corruptError(invalid + "(" + std::to_string(bytes.size()) +
                            " bytes is not a whole number of 173-byte records)");
    }
    // The count comes from the length: the stored record index wraps at 256.
    const size_t count = bytes.size() / kSignatureRecordBytes;
    if (count > kMaxSignatures) {
        return corruptError(invalid + "(" + std::to_string(count) + " records, at most " +
                            std::to_string(kMaxSignatures) + ")");
    }
    std::vector<LoadedSignature> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        auto piece = bytes.subspan(i * kSignatureRecordBytes).first<kSignatureRecordBytes>();
        const SignatureRecord record = decodeSignatureRecord(piece);
        const std::string problem = validateSignatureRecord(record);
        if (!problem.empty()) {
            return corruptError(invalid + "(record " + std::to_string(i) + ": " + problem + ")");
        }
        out.push_back(loadedFromRecord(record));
    }
    return out;
}

Result<std::vector<LoadedSignature>> readSignatureFile(const std::string& path) {
    const std::string cannotOpen = std::string(kCannotOpenText) + " ";
    if (path.empty()) return ioError(cannotOpen + "(no path given)");
    auto file = FileHandle::openRead(path);
    if (!file) return ioError(cannotOpen + "(" + file.error().message + ")");
    auto length = file.value().size();
    if (!length) return ioError(cannotOpen + "(" + length.error().message + ")");
    // Bounded before the buffer is sized: a valid file is at most 256 records.
    constexpr uint64_t kMaxFileBytes = kMaxSignatures * kSignatureRecordBytes;
    if (length.value() > kMaxFileBytes) {
        return corruptError(std::string(kInvalidFileText) + " (" + std::to_string(length.value()) +
                            " bytes, at most " + std::to_string(kMaxSignatures) +
                            " records of 173 bytes)");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(length.value()));
    auto got = file.value().readAt(0, bytes);
    if (!got) return ioError(cannotOpen + "(" + got.error().message + ")");
    bytes.resize(got.value());
    return decodeSignatureFile(bytes);
}

}  // namespace prendle::raw
