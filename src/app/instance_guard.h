// One Prendle per user: a lock file named after the product's mutex, held while the
// process runs and released by the system when it ends.
#pragma once

#include <string>

namespace prendle::app {

class InstanceGuard {
public:
    // folder: where the lock lives (the user's runtime folder when empty).
    explicit InstanceGuard(const std::string& folder = {});
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;
    // False when another instance holds the lock.
    bool acquired() const { return acquired_; }

private:
    int fd_ = -1;
    bool acquired_ = false;
};

inline constexpr char kAnotherInstanceText[] = "Another instance of application is already running";

}  // namespace prendle::app
