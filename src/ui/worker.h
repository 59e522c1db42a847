// A job on its own thread that reports progress and status to its page and can be
// paused, resumed and stopped. Pausing is cooperative: the job waits at checkpoint(),
// which it passes wherever it polls for a stop and whenever it reports progress.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/progress.h"

namespace prendle::ui {

// What a page receives from its worker; called on the worker's thread.
class WorkerSink {
public:
    virtual ~WorkerSink() = default;
    virtual void progressRange(uint64_t lower, uint64_t upper) = 0;  // UM_PROGRESS_RANGE
    virtual void progressPos(uint64_t position) = 0;                 // UM_PROGRESS_POS
    virtual void status(const std::string& text) = 0;
    virtual void finished() {}
};

class Worker;

// The job's side of a worker: the Progress every parser, search and save reports to.
class JobContext : public Progress {
public:
    explicit JobContext(Worker& worker) : worker_(worker) {}
    void progressRange(uint64_t lower, uint64_t upper) override;
    // Sent when the position moves by at least a thousandth of the range.
    void progressPos(uint64_t position) override;
    void status(const std::string& text) override;
    // Waits while paused; false once a stop was asked for.
    bool checkpoint() override;
    bool stopRequested() const override;
    void requestStop() override;

private:
    Worker& worker_;
    uint64_t lower_ = 0, upper_ = 0, lastSent_ = UINT64_MAX;
};

class Worker {
public:
    using Job = std::function<void(JobContext&)>;
    explicit Worker(WorkerSink& sink) : sink_(sink) {}
    // Stops the job and waits for it.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // False when a job is still running.
    bool start(Job job);
    void pause();
    void resume();
    void stop();
    void join();
    bool running() const { return running_; }
    bool paused() const;
    // Blocks until the paused job waits at its gate, or has ended; the page uses it
    // before it shows a confirmation over a paused worker.
    void waitUntilParked();

    // Also set by the page on the parser objects' own flags; the job polls through
    // its context.
    std::atomic<bool> stopRequested{false};

private:
    friend class JobContext;
    void waitWhilePaused();

    WorkerSink& sink_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    mutable std::mutex mutex_;
    std::condition_variable resumed_;
    std::condition_variable parkedChanged_;
    bool paused_ = false;
    bool parked_ = false;
};

}  // namespace prendle::ui
