// The one way every job reports: a status line, a progress range and position, and a
// checkpoint that waits while the user has paused and says whether to go on. Pages hand
// in their worker's context, prendle-cli a console line, tests a quiet instance.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace prendle {

class Progress {
public:
    virtual ~Progress() = default;
    virtual void status(const std::string& /*text*/) {}
    virtual void progressRange(uint64_t /*lower*/, uint64_t /*upper*/) {}
    virtual void progressPos(uint64_t /*position*/) {}
    // Waits while paused; false once a stop was asked for. Loops call it once per record,
    // cluster batch or scan window.
    virtual bool checkpoint() { return !stopRequested(); }
    virtual bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
    virtual void requestStop() { stop_ = true; }

private:
    std::atomic<bool> stop_{false};
};

}  // namespace prendle
