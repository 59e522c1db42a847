#include "ui/worker.h"

namespace prendle::ui {

void JobContext::progressRange(uint64_t lower, uint64_t upper) {
    lower_ = lower;
    upper_ = upper;
    lastSent_ = UINT64_MAX;
    worker_.sink_.progressRange(lower, upper);
    worker_.waitWhilePaused();
}

void JobContext::progressPos(uint64_t position) {
    const uint64_t span = upper_ > lower_ ? upper_ - lower_ : 0;
    const uint64_t step = span / 1000 > 0 ? span / 1000 : 1;
    if (lastSent_ == UINT64_MAX || position >= lastSent_ + step || position < lastSent_ ||
        position == upper_) {
        lastSent_ = position;
        worker_.sink_.progressPos(position);
    }
    worker_.waitWhilePaused();
}

void JobContext::status(const std::string& text) {
    worker_.sink_.status(text);
}

bool JobContext::checkpoint() {
    worker_.waitWhilePaused();
    return !worker_.stopRequested;
}

bool JobContext::stopRequested() const {
    return worker_.stopRequested;
}

void JobContext::requestStop() {
    worker_.stop();
}

Worker::~Worker() {
    stop();
    join();
}

bool Worker::start(Job job) {
    if (running_) return false;
    join();
    stopRequested = false;
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
    }
    running_ = true;
    thread_ = std::thread([this, job = std::move(job)] {
        JobContext context(*this);
        job(context);
        {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        parkedChanged_.notify_all();
        sink_.finished();
    });
    return true;
}

void Worker::pause() {
    std::lock_guard lock(mutex_);
    paused_ = true;
}

void Worker::resume() {
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
    }
    resumed_.notify_all();
}

void Worker::stop() {
    stopRequested = true;
    // A paused job must wake up to see the stop.
    resume();
}

void Worker::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool Worker::paused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

void Worker::waitWhilePaused() {
    std::unique_lock lock(mutex_);
    if (!paused_ || stopRequested) return;
    parked_ = true;
    parkedChanged_.notify_all();
    resumed_.wait(lock, [this] { return !paused_ || stopRequested; });
    parked_ = false;
}

void Worker::waitUntilParked() {
    std::unique_lock lock(mutex_);
    parkedChanged_.wait(lock, [this] { return parked_ || !running_ || !paused_; });
}

}  // namespace prendle::ui
