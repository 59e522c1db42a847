// Signature files for raw recovery: a plain run of 173-byte records, one signature each,
// no header. The editor appends records through saveSignatureRecord; the carver loads a
// whole file through loadSignatureFile after checking every record.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/file_handle.h"

namespace prendle::raw {

inline constexpr size_t kSignatureRecordBytes = 173;
inline constexpr size_t kPatternBytes = 10;
inline constexpr size_t kExtensionUnits = 5;  // 4 characters and a zero unit
inline constexpr size_t kCategoryUnits = 50;  // 49 characters and a zero unit
inline constexpr uint32_t kMaxSizeFieldBytes = 8;
inline constexpr uint32_t kSectorBytes = 512;
// typeId is one byte, so an engine holds at most 256 signatures.
inline constexpr size_t kMaxSignatures = 256;
// Bytes kept after an end signature (a ZIP's end record follows its signature).
inline constexpr uint32_t kMaxEndTrailerBytes = 65557;
// The pattern byte that matches any byte.
inline constexpr uint8_t kWildcardByte = 0x2A;

// One record as stored (little-endian, text fields UTF-16LE):
//   0 extension[5 units]   10 startOffset u16   12 extensionLength u8
//  13 startPattern[10]     23 endPattern[10]    33 startLength u8   34 endLength u8
//  35 recordIndex u8       36 sizeFieldOffset i32   40 sizeFieldBytes u32
//  44 headerSize u32       48 sizeIncludesHeader u8
//  49 endTrailerBytes u32 (reserved, 0, in files that carry no trailer)
//  53 approxSize i64       61 skipSize i64     69 category[50 units]   169 reserved u32
struct SignatureRecord {
    std::array<char16_t, kExtensionUnits> extension{};
    uint16_t startOffset = 0;
    uint8_t extensionLength = 0;
    std::array<uint8_t, kPatternBytes> startPattern{};
    std::array<uint8_t, kPatternBytes> endPattern{};
    uint8_t startLength = 0;
    uint8_t endLength = 0;
    uint8_t recordIndex = 0xFF;
    int32_t sizeFieldOffset = -1;
    uint32_t sizeFieldBytes = 0;
    uint32_t headerSize = 0;
    uint8_t sizeIncludesHeader = 0;
    uint32_t endTrailerBytes = 0;
    int64_t approxSize = 0;
    int64_t skipSize = 0;
    std::array<char16_t, kCategoryUnits> category{};
    uint32_t reserved = 0;
};

std::array<uint8_t, kSignatureRecordBytes> encodeSignatureRecord(const SignatureRecord& record);
// Always succeeds on 173 bytes; the checks are in validateSignatureRecord.
SignatureRecord decodeSignatureRecord(std::span<const uint8_t, kSignatureRecordBytes> bytes);
// Empty when the record can be carved with; otherwise one line saying what is wrong.
std::string validateSignatureRecord(const SignatureRecord& record);

// The engine's view of one loaded signature.
struct SignatureEntry {
    std::array<char16_t, kExtensionUnits> extension{};
    uint8_t extensionLength = 0;
    std::array<uint8_t, kPatternBytes> startPattern{};
    std::array<uint8_t, kPatternBytes> endPattern{};
    uint8_t startLength = 0;
    uint8_t endLength = 0;
    uint8_t typeId = 0xFF;
    int32_t startOffset = 0;
};

// How the extent of one signature's hits is worked out.
struct CarveRule {
    uint8_t startLength = 0;
    uint8_t endLength = 0;
    std::array<char16_t, kExtensionUnits> extension{};
    int32_t sizeFieldOffset = -1;
    uint32_t sizeFieldBytes = 0;
    uint32_t headerSize = 0;
    uint8_t sizeIncludesHeader = 0;
    uint32_t endTrailerBytes = 0;
    int64_t approxSize = 0;
    int64_t skipSize = 0;
    std::array<char16_t, kCategoryUnits> category{};

    bool hasSizeField() const { return sizeFieldOffset > 0 && sizeFieldBytes > 0; }
    std::string extensionText() const;  // UTF-8, up to the zero unit
    std::string categoryText() const;   // UTF-8, up to the zero unit
};

struct LoadedSignature {
    SignatureEntry entry;
    CarveRule rule;
};

// What the editor's fields hold, as typed.
struct SignatureFields {
    std::string extension;
    std::string startSignature;
    std::string endSignature;
    std::string sizeFieldOffset;
    std::string sizeFieldBytes;
    std::string headerSize;
    bool sizeIncludesHeader = false;
    std::string skipSize;
    std::string approxSize;
    std::string category;
    std::string startOffset;
    // Not on the editor: bytes of the file that follow its end signature.
    std::string endTrailerBytes;
};

// The editor's messages.
inline constexpr const char* kNoOutputFileText = "Select valid file to save the entries.";
inline constexpr const char* kEmptyExtensionText = "extention length is zero..";
inline constexpr const char* kEmptySignatureText = "signature length is zero..";
inline constexpr const char* kRecordSavedText = "everything initialized well.....";
// The loader's messages.
inline constexpr const char* kCannotOpenText = "Cannot open the selected file";
inline constexpr const char* kInvalidFileText = "Please select a valid file..";

// A pattern text: comma-separated hexadecimal numbers, empty pieces skipped, the low byte
// of each kept. Fails (with the piece count) when it holds more than 10 pieces.
Result<std::vector<uint8_t>> parsePatternText(const std::string& text);

// The record the editor's fields give, its recordIndex left at 0xFF. The error's message
// is the text the editor shows.
Result<SignatureRecord> recordFromFields(const SignatureFields& fields);

// Appends one record at the end of an open signature file; the message on success and
// on failure is the text the editor shows. A failed write leaves the file as it was.
Result<std::string> saveSignatureRecord(const SignatureFields& fields, const FileHandle& out);

// Every record of a signature file, each checked; the file is refused as a whole (no
// record loaded) when it is shorter than one record, not a whole number of records,
// holds more than kMaxSignatures, or has a record that cannot be carved with. The
// error message starts with the page's text ("Please select a valid file.." or
// "Cannot open the selected file") and goes on with the reason.
Result<std::vector<LoadedSignature>> readSignatureFile(const std::string& path);
Result<std::vector<LoadedSignature>> decodeSignatureFile(std::span<const uint8_t> bytes);

// The engine record pair a stored record maps to (typeId left for the engine).
LoadedSignature loadedFromRecord(const SignatureRecord& record);

}  // namespace prendle::raw
