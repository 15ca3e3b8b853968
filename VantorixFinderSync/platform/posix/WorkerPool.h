// A growable pool of worker threads that runs tasks by quality of service.
//
// Blocking work is normal on the global queues (a batch run can wait seconds for the local service), so the pool
// starts a new thread whenever a task is submitted and no thread is idle to take it, up to a generous limit.
// Tasks of a higher quality of service are taken first; within one quality of service, in submission order.
// A thread that has had nothing to do for the idle time ends, so that one burst of blocking work does not keep
// its threads for the rest of the process.
#pragma once

#include "../Dispatch.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace vantorix::posix {

class WorkerPool {
public:
    explicit WorkerPool(std::size_t maxThreads = 256, Duration idleTimeout = std::chrono::seconds(5));
    ~WorkerPool();  // stop()
    // Stops taking tasks, lets running tasks finish, joins every thread; later submissions are dropped.
    void stop();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(QualityOfService qos, Task task);
    // The threads alive now.
    std::size_t threadCount() const;

private:
    void run(std::list<std::thread>::iterator self);
    void joinEnded();

    const std::size_t maxThreads_;
    const Duration idleTimeout_;
    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::array<std::deque<Task>, 5> pending_;  // indexed by QualityOfService
    std::size_t pendingCount_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    std::list<std::thread> threads_;  // alive
    std::vector<std::thread> ended_;  // ended for idleness, not joined yet
};

}  // namespace vantorix::posix
