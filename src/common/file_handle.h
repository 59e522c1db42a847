// Files read with positional reads only: no shared file pointer, so threads may read at once.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

#include "common/error.h"

namespace prendle {

class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle();
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // Read-only: nothing in this program ever writes to an image.
    static Result<FileHandle> openRead(const std::string& path);
    // Creates or truncates an output file.
    static Result<FileHandle> createWrite(const std::string& path);
    // Opens for reading and writing, creating the file when missing and keeping its bytes.
    static Result<FileHandle> openAppend(const std::string& path);
    // Creates a file that must not exist yet (Error code EEXIST when it does), so that a
    // recovery never replaces a file already in the output folder.
    static Result<FileHandle> createNew(const std::string& path);

    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    Result<uint64_t> size() const;

    // Reads until the span is full or the file ends; returns the bytes read.
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> out) const;
    Status writeAt(uint64_t offset, std::span<const uint8_t> data) const;
    Status truncate(uint64_t length) const;
    void close();
    // Sets last access and last write on the open file (UTIME_OMIT leaves one as it is).
    Status setTimes(const struct timespec (&times)[2]) const;

private:
    FileHandle(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    std::string path_;
};

// Whether anything (a file, folder or link) already has this name.
bool pathExists(const std::string& path);

}  // namespace prendle
