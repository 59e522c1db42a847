#include "common/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace prendle {

namespace {
std::string describe(const std::string& action, const std::string& path, int error) {
    return action + " " + path + ": " + std::strerror(error);
}
}  // namespace

FileHandle::~FileHandle() {
    close();
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

void FileHandle::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Result<FileHandle> FileHandle::openRead(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ioError(describe("cannot open", path, errno), errno);
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        return ioError("cannot open " + path + ": it is a folder");
    }
    return FileHandle(fd, path);
}

Result<FileHandle> FileHandle::createWrite(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return ioError(describe("cannot create", path, errno), errno);
    return FileHandle(fd, path);
}

Result<FileHandle> FileHandle::openAppend(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return ioError(describe("cannot open", path, errno), errno);
    return FileHandle(fd, path);
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

Result<FileHandle> FileHandle::createNew(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return ioError(describe("cannot create", path, errno), errno);
    return FileHandle(fd, path);
}

Status FileHandle::setTimes(const struct timespec (&times)[2]) const {
    if (::futimens(fd_, times) != 0)
        return ioError(describe("cannot set the times of", path_, errno), errno);
    return {};
}

Result<uint64_t> FileHandle::size() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return ioError(describe("cannot query", path_, errno));
    if (S_ISBLK(info.st_mode)) {
        off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0) return ioError(describe("cannot size", path_, errno));
        return static_cast<uint64_t>(end);
    }
    return static_cast<uint64_t>(info.st_size);
}

Result<size_t> FileHandle::readAt(uint64_t offset, std::span<uint8_t> out) const {
    size_t done = 0;
    while (done < out.size()) {
        if (offset + done > static_cast<uint64_t>(INT64_MAX)) break;
        ssize_t got =
            ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            return ioError(
                describe("read failed at offset " + std::to_string(offset + done) + " of", path_,
                         code),
                code);
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

Status FileHandle::writeAt(uint64_t offset, std::span<const uint8_t> data) const {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t put = ::pwrite(fd_, data.data() + done, data.size() - done,
                               static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            return ioError(
                describe("write failed at offset " + std::to_string(offset + done) + " of", path_,
                         code),
                code);
        }
        done += static_cast<size_t>(put);
    }
    return {};
}

Status FileHandle::truncate(uint64_t length) const {
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0)
        return ioError(describe("cannot set the length of", path_, errno), errno);
    return {};
}

}  // namespace prendle
