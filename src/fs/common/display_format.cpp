#include "fs/common/display_format.h"

#include <cstdio>
#include <ctime>
#include <utility>

namespace prendle {

std::string formatSizeText(int64_t byteCount) {
    const double x = static_cast<double>(byteCount);
    char text[64];
    if (x / 1073741824.0 >= 1) {
        std::snprintf(text, sizeof text, "%.2f GB", x / 1073741824.0);
    } else if (x / 1048576.0 >= 1) {
        std::snprintf(text, sizeof text, "%.2f MB", x / 1048576.0);
    } else if (x / 1024.0 >= 1) {
        std::snprintf(text, sizeof text, "%.2f KB", x / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%lld Bytes", static_cast<long long>(byteCount));
    }
    return text;
}

std::string formatClockTime(int year, int month, int day, int hour, int minute) {
    char text[64];
    if (hour <= 12) {
        std::snprintf(text, sizeof text, "%02d/%02d/%d  %02d:%02d AM", month, day, year, hour,
                      minute);
    } else {
        std::snprintf(text, sizeof text, "%02d/%02d/%d  %02d:%02d PM", month, day, year, hour - 12,
                      minute);
    }
    return text;
}

std::string formatDosDateTime(uint16_t date, uint16_t time) {
    return formatClockTime((date >> 9) + 1980, (date >> 5) & 0x0F, date & 0x1F, time >> 11,
                           (time >> 5) & 0x3F);
}

std::string formatDosDate(uint16_t date) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d/%02d/%d ", (date >> 5) & 0x0F, date & 0x1F,
                  (date >> 9) + 1980);
    return text;
}

std::string formatAttributeText(AttributeFlavour flavour, uint32_t flags) {
    using Token = std::pair<uint32_t, const char*>;
    static const Token kNtfs[] = {{0x0001, "-R"}, {0x0002, "-H"}, {0x0200, "-S"},
                                  {0x0020, "-A"}, {0x0800, "-C"}, {0x4000, "-E"}};
    static const Token kFat[] = {{0x01, "-R"}, {0x02, "-H"}, {0x04, "-S"}, {0x20, "-A"}};
    static const Token kExt[] = {{0x001, "-OE"}, {0x002, "-OW"}, {0x004, "-OR"},
                                 {0x008, "-GE"}, {0x010, "-GW"}, {0x020, "-GR"},
                                 {0x040, "-UE"}, {0x080, "-UW"}, {0x100, "-UR"}};
    static const Token kHfs[] = {{0x040, "-Owner:X"}, {0x080, "-Owner:W"}, {0x100, "-Owner:R"},
                                 {0x001, "-OX"},      {0x002, "-OW"},      {0x004, "-OR"},
                                 {0x008, "-GX"},      {0x010, "-GW"},      {0x020, "-GR"}};
    auto render = [flags](const auto& tokens) {
        std::string out;
        for (const auto& [bit, token] : tokens)
            if ((flags & bit) != 0) out += token;
        return out;
    };
    switch (flavour) {
        case AttributeFlavour::Ntfs:
            return render(kNtfs);
        case AttributeFlavour::Fat:
            return render(kFat);
        case AttributeFlavour::Ext:
            return render(kExt);
        case AttributeFlavour::HfsPlus:
            return render(kHfs);
    }
    return {};
}

std::string formatFileTime(uint64_t fileTime) {
    constexpr uint64_t kTicksPerSecond = 10000000;
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    if (fileTime == 0) return {};
    const time_t seconds = static_cast<time_t>(static_cast<int64_t>(fileTime / kTicksPerSecond) -
                                               kSecondsFrom1601To1970);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return {};
    return formatClockTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min);
}

}  // namespace prendle
