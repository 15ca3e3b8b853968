// Blocks ordered by due time, then by submission order, run by whichever thread calls run(): the main run loop
// and the delay scheduler both stand on it. A block never runs before it is due; blocks due at the same moment
// run in submission order.
#pragma once

#include "platform/Dispatch.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <tuple>

namespace vantorix::posix {

class Agenda {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Adds a block; safe from any thread. Dropped once the agenda is closed.
    void schedule(TimePoint due, Task block);
    // Runs due blocks on the calling thread until stop() or close(); may be called again after stop().
    void run();
    // Makes run() return after the block it is running, if any.
    void stop();
    // Stops for good: pending blocks are dropped (destroyed outside the lock) and later ones refused.
    void close();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<std::tuple<TimePoint, unsigned long long>, Task> blocks_;
    unsigned long long sequence_ = 0;
    bool stopRequested_ = false;
    bool closed_ = false;
};

}  // namespace vantorix::posix
