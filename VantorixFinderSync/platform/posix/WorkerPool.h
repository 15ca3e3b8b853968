// A growable pool of worker threads that runs tasks by quality of service.
//
// Blocking work is normal on the global queues (a batch run can wait seconds for the local service), so the pool
// starts a new thread whenever a task is submitted and no thread is idle to take it, up to a generous limit.
// Tasks of a higher quality of service are taken first; within one quality of service, in submission order.
// Threads are kept once started.
#pragma once

#include "../Dispatch.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vantorix::posix {

class WorkerPool {
public:
    explicit WorkerPool(std::size_t maxThreads = 256);
    ~WorkerPool();  // stop()
    // Stops taking tasks, lets running tasks finish, joins every thread; later submissions are dropped.
    void stop();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(QualityOfService qos, Task task);
    std::size_t threadCount() const;

private:
    void run();

    const std::size_t maxThreads_;
    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::array<std::deque<Task>, 5> pending_;  // indexed by QualityOfService
    std::size_t pendingCount_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace vantorix::posix
