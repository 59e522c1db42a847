// The default signature table. Earlier rows win when two start signatures match one sector,
// so the specific ones (Office inside ZIP, AVI and WAV inside RIFF) come first. 0x2A in a
// pattern matches any byte.
#include "raw/default_signatures.h"

#include <array>

namespace prendle::raw {

namespace {

// Field order: extension, start, end, size offset, size bytes, header size, size includes
// header, skip, approx size, category, start offset, bytes after the end signature.
const std::array<SignatureFields, 19> kDefaultTable{{
    {"jpg", "0xFF,0xD8,0xFF", "0xFF,0xD9", "", "", "", false, "", "20971520", "Pictures", "", ""},
    {"png", "0x89,0x50,0x4E,0x47,0x0D,0x0A,0x1A,0x0A", "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82",
     "", "", "", false, "", "20971520", "Pictures", "", ""},
    {"gif", "0x47,0x49,0x46,0x38,0x2A,0x61", "0x00,0x3B", "", "", "", false, "", "10485760",
     "Pictures", "", ""},
    // BMP: the file size at byte 2 counts the whole file; the reserved words are zero.
    {"bmp", "0x42,0x4D,0x2A,0x2A,0x2A,0x2A,0x00,0x00,0x00,0x00", "", "2", "4", "", true, "",
     "52428800", "Pictures", "", ""},
    {"tif", "0x49,0x49,0x2A,0x00", "", "", "", "", false, "", "10485760", "Pictures", "", ""},
    {"tif", "0x4D,0x4D,0x00,0x2A", "", "", "", "", false, "", "10485760", "Pictures", "", ""},
    // PDF writers end the file with a line break after %%EOF.
    {"pdf", "0x25,0x50,0x44,0x46,0x2D", "0x25,0x25,0x45,0x4F,0x46", "", "", "", false, "",
     "104857600", "Documents", "", "1"},
    // Office Open XML is a ZIP whose first member is [Content_Types].xml, named at byte 30.
    // The ZIP end record runs 18 bytes past its signature (no archive comment).
    {"docx", "0x5B,0x43,0x6F,0x6E,0x74,0x65,0x6E,0x74,0x5F,0x54", "0x50,0x4B,0x05,0x06", "", "", "",
     false, "", "104857600", "Documents", "30", "18"},
    {"doc", "0xD0,0xCF,0x11,0xE0,0xA1,0xB1,0x1A,0xE1", "", "", "", "", false, "", "10485760",
     "Documents", "", ""},
    {"zip", "0x50,0x4B,0x03,0x04", "0x50,0x4B,0x05,0x06", "", "", "", false, "", "104857600",
     "Archives", "", "18"},
    {"rar", "0x52,0x61,0x72,0x21,0x1A,0x07", "", "", "", "", false, "", "104857600", "Archives", "",
     ""},
    {"7z", "0x37,0x7A,0xBC,0xAF,0x27,0x1C", "", "", "", "", false, "", "104857600", "Archives", "",
     ""},
    {"gz", "0x1F,0x8B,0x08", "", "", "", "", false, "", "20971520", "Archives", "", ""},
    {"mp3", "0x49,0x44,0x33", "", "", "", "", false, "", "10485760", "Audio", "", ""},
    // RIFF: a 4-byte size at byte 4 that leaves out the 8-byte chunk header.
    {"wav", "0x52,0x49,0x46,0x46,0x2A,0x2A,0x2A,0x2A,0x57,0x41", "", "4", "4", "8", false, "",
     "1073741824", "Audio", "", ""},
    {"avi", "0x52,0x49,0x46,0x46,0x2A,0x2A,0x2A,0x2A,0x41,0x56", "", "4", "4", "8", false, "",
     "2147483647", "Video", "", ""},
    // MP4 and MOV: an "ftyp" box first, its length in the four bytes before.
    {"mp4", "0x2A,0x2A,0x2A,0x2A,0x66,0x74,0x79,0x70", "", "", "", "", false, "", "104857600",
     "Video", "", ""},
    {"mov", "0x2A,0x2A,0x2A,0x2A,0x6D,0x6F,0x6F,0x76", "", "", "", "", false, "", "104857600",
     "Video", "", ""},
    {"db", "0x53,0x51,0x4C,0x69,0x74,0x65,0x20,0x66,0x6F,0x72", "", "", "", "", false, "",
     "104857600", "Databases", "", ""},
}};

}  // namespace

std::span<const SignatureFields> defaultSignatureTable() {
    return kDefaultTable;
}

Status writeSignatureTable(std::span<const SignatureFields> table, const std::string& path) {
    auto file = FileHandle::createWrite(path);
    if (!file) return file.error();
    for (size_t i = 0; i < table.size(); ++i) {
        auto saved = saveSignatureRecord(table[i], file.value());
        if (!saved) {
            return corruptError("row " + std::to_string(i) + " (" + table[i].extension +
                                "): " + saved.error().message);
        }
    }
    return {};
}

}  // namespace prendle::raw
