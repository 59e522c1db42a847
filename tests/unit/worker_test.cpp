// Pause, resume and stop of a worker, driven by latches the test controls: no timing.
#include "ui/worker.h"

#include <gtest/gtest.h>

#include <latch>
#include <vector>

namespace prendle::ui {
namespace {

class Recorder : public WorkerSink {
public:
    void progressRange(uint64_t lower, uint64_t upper) override {
        ranges.emplace_back(lower, upper);
    }
    void progressPos(uint64_t position) override { positions.push_back(position); }
    void status(const std::string& text) override { statuses.push_back(text); }
    void finished() override { ++finishedCount; }
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    std::vector<uint64_t> positions;
    std::vector<std::string> statuses;
    std::atomic<int> finishedCount{0};
};

TEST(Worker, APausedJobStopsMovingUntilResumed) {
    Recorder sink;
    Worker worker(sink);
    std::latch started(1);
    std::atomic<uint64_t> steps{0};
    ASSERT_TRUE(worker.start([&](JobContext& job) {
        started.count_down();
        while (job.checkpoint()) ++steps;
    }));
    started.wait();
    worker.pause();
    worker.waitUntilParked();
    const uint64_t frozen = steps;
    EXPECT_TRUE(worker.paused());
    EXPECT_EQ(steps, frozen);                        // parked at the gate: nothing moves
    EXPECT_FALSE(worker.start([](JobContext&) {}));  // one job at a time
    worker.resume();
    worker.stop();
    worker.join();
    EXPECT_FALSE(worker.running());
    EXPECT_EQ(sink.finishedCount, 1);
}

TEST(Worker, StopWakesAPausedJobAndItEndsWithWhatItFound) {
    Recorder sink;
    Worker worker(sink);
    std::latch started(1);
    std::atomic<uint64_t> found{0};
    ASSERT_TRUE(worker.start([&](JobContext& job) {
        started.count_down();
        while (job.checkpoint()) ++found;
        job.status("stopped: " + std::to_string(found) + " entries");
    }));
    started.wait();
    worker.pause();
    worker.waitUntilParked();
    const uint64_t frozen = found;
    worker.stop();
    worker.join();
    ASSERT_EQ(sink.statuses.size(), 1u);
    EXPECT_EQ(sink.statuses[0], "stopped: " + std::to_string(frozen) + " entries");
}

TEST(Worker, ProgressIsSentWhenItMovesByAThousandth) {
    Recorder sink;
    {
        Worker worker(sink);
        ASSERT_TRUE(worker.start([](JobContext& job) {
            job.progressRange(0, 100000);
            for (uint64_t i = 0; i <= 100000; ++i) job.progressPos(i);
        }));
        worker.join();
    }
    EXPECT_EQ(sink.ranges.front(), std::make_pair(uint64_t{0}, uint64_t{100000}));
    EXPECT_EQ(sink.positions.size(), 1001u);
    EXPECT_EQ(sink.positions.back(), 100000u);
}

TEST(Worker, TheDestructorStopsAndJoins) {
    Recorder sink;
    std::latch started(1);
    {
        Worker worker(sink);
        ASSERT_TRUE(worker.start([&](JobContext& job) {
            started.count_down();
            while (job.checkpoint()) {
            }
        }));
        started.wait();
    }
    EXPECT_EQ(sink.finishedCount, 1);
}

}  // namespace
}  // namespace prendle::ui
