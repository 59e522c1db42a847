#include "fs/common/file_time.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace prendle {

namespace {
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

timespec toTimespec(uint64_t fileTime) {
    timespec out{};
    if (fileTime == 0) {
        out.tv_nsec = UTIME_OMIT;
        return out;
    }
    out.tv_sec = static_cast<time_t>(static_cast<int64_t>(fileTime / kTicksPerSecond) -
                                     kSecondsFrom1601To1970);
    out.tv_nsec = static_cast<long>((fileTime % kTicksPerSecond) * 100);
    return out;
}
}  // namespace

std::string fileTimeIso8601(uint64_t fileTime) {
    if (fileTime == 0) return {};
    const int64_t seconds =
        static_cast<int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
    const uint64_t fraction = fileTime % kTicksPerSecond;
    time_t t = static_cast<time_t>(seconds);
    tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    std::string out = text;
    if (fraction != 0) {
        std::snprintf(text, sizeof text, ".%07llu", static_cast<unsigned long long>(fraction));
        out += text;
    }
    return out + "Z";
}

Status restoreTimes(const std::string& path, uint64_t accessed, uint64_t modified) {
    timespec times[2] = {toTimespec(accessed), toTimespec(modified)};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return ioError("cannot set the times of " + path + ": " + std::strerror(errno), errno);
    return {};
}

Status restoreTimes(const FileHandle& file, uint64_t accessed, uint64_t modified) {
    const timespec times[2] = {toTimespec(accessed), toTimespec(modified)};
    return file.setTimes(times);
}

}  // namespace prendle
