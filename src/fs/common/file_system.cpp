#include "fs/common/file_system.h"

namespace prendle::fs {

const char* parseModeName(ParseMode mode) {
    switch (mode) {
        case ParseMode::Standard:
            return "standard";
        case ParseMode::Advanced:
            return "advanced";
        case ParseMode::Deep:
            return "deep";
    }
    return "standard";
}

void ParseSummary::warn(std::string warning) {
    if (warnings.size() < kMaxWarnings)
        warnings.push_back(std::move(warning));
    else
        ++moreWarnings;
}

std::string ParseSummary::text() const {
    std::string out = std::to_string(entryCount) + " entries";
    if (deletedCount > 0) out += " (" + std::to_string(deletedCount) + " deleted)";
    if (stopped) out += ", stopped";
    const uint64_t warningCount = warnings.size() + moreWarnings;
    if (warningCount > 0)
        out += ", " + std::to_string(warningCount) + (warningCount == 1 ? " warning" : " warnings");
    return out;
}

}  // namespace prendle::fs
