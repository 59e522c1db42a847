#include "app/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace prendle::app {

InstanceGuard::InstanceGuard(const std::string& folder) {
    std::string where = folder;
    if (where.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        where = runtime && *runtime ? runtime : "/tmp";
    }
    const std::string path = where + "/prendle-" + std::to_string(::getuid()) + "-{MORVETHIL}.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Without a lock file there is nothing to guard with: let the program run.
    acquired_ = fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

InstanceGuard::~InstanceGuard() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace prendle::app
