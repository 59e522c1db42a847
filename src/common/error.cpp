#include "common/error.h"

namespace prendle {

const char* errorKindName(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Io:
            return "I/O error";
        case ErrorKind::Corrupt:
            return "damaged data";
        case ErrorKind::Unsupported:
            return "unsupported";
        case ErrorKind::Stopped:
            return "stopped";
    }
    return "error";
}

}  // namespace prendle
