// Windows FILETIMEs (100 ns ticks since 1601, UTC): text for listings, and restoring
// them on files written out.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "common/file_handle.h"

namespace prendle {

// "2024-03-01T12:34:56Z", with ".1234567" before the Z when the ticks have a fraction;
// empty for 0.
std::string fileTimeIso8601(uint64_t fileTime);
// Sets last access and last write of a written file or folder; 0 keeps the current time.
Status restoreTimes(const std::string& path, uint64_t accessed, uint64_t modified);
// The same on a file still open, which costs no look-up of its path.
Status restoreTimes(const FileHandle& file, uint64_t accessed, uint64_t modified);

}  // namespace prendle
