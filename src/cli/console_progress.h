// Progress for prendle-cli: a status and percent line on stderr when stderr is a terminal,
// silent otherwise, so scripts and pipes see only results and errors.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "common/progress.h"

namespace prendle::cli {

class ConsoleProgress : public Progress {
public:
    ConsoleProgress() : terminal_(::isatty(STDERR_FILENO) == 1) {}
    void status(const std::string& text) override {
        std::lock_guard lock(mutex_);
        status_ = text;
        draw(false);
    }
    void progressRange(uint64_t lower, uint64_t upper) override {
        std::lock_guard lock(mutex_);
        lower_ = lower;
        upper_ = upper;
        position_ = lower;
    }
    void progressPos(uint64_t position) override {
        std::lock_guard lock(mutex_);
        position_ = position;
        draw(false);
    }
    // Ends the line so that later messages start on their own.
    void finishLine() {
        std::lock_guard lock(mutex_);
        if (terminal_ && drawn_) std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

private:
    void draw(bool force) {
        if (!terminal_) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && drawn_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
        lastDrawn_ = now;
        drawn_ = true;
        std::string line;
        if (upper_ > lower_) {
            const uint64_t done = position_ > lower_ ? position_ - lower_ : 0;
            line = std::to_string(done * 100 / (upper_ - lower_)) + "% ";
        }
        line += status_;
        if (line.size() > 100) line.resize(100);
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
    }

    bool terminal_;
    std::mutex mutex_;
    std::string status_;
    uint64_t lower_ = 0, upper_ = 0, position_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDrawn_{};
};

}  // namespace prendle::cli
