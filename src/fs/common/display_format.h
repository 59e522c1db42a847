// How the browser shows an entry's sizes, times and attributes, the same for every file
// system; each parser converts its own raw values and calls these.
#pragma once

#include <cstdint>
#include <string>

namespace prendle {

// The four texts of a list row beside the name and size.
struct EntryDisplayText {
    std::string created, accessed, modified, attributes;
};

enum class AttributeFlavour { Ntfs, Fat, Ext, HfsPlus };

// "1023 Bytes", "1.00 KB", "1024.00 KB", "1.00 MB", "4.00 GB": powers of 1024.
std::string formatSizeText(int64_t byteCount);
// "MM/DD/YYYY  hh:mm AM": hours 0 to 12 are AM as they are, 13 to 23 PM less 12.
std::string formatClockTime(int year, int month, int day, int hour, int minute);
std::string formatDosDateTime(uint16_t date, uint16_t time);
// "MM/DD/YYYY " with one trailing blank.
std::string formatDosDate(uint16_t date);
std::string formatAttributeText(AttributeFlavour flavour, uint32_t flags);
// A FILETIME in the machine's local time; empty when it has no calendar time.
std::string formatFileTime(uint64_t fileTime);

}  // namespace prendle
