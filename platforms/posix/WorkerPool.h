// A growable pool of worker threads that runs tasks by quality of service.
//
// Blocking work is normal on the global queues (a check can wait seconds for the local service), so the pool
// grows when its threads are stuck: while tasks wait and no thread has taken one for the grow delay (10 ms), a
// supervisor adds a thread, up to a generous limit. A burst of short tasks (a repaint of a large folder submits
// thousands) is taken by the threads there are, and does not start one thread per task. Tasks of a higher
// quality of service are taken first; within one quality of service, in submission order. A thread that has had
// nothing to do for the idle time ends, so that one burst of blocking work does not keep its threads for good.
#pragma once

#include "platform/Dispatch.h"

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
    explicit WorkerPool(std::size_t maxThreads = 256, Duration idleTimeout = std::chrono::seconds(5),
                        Duration growDelay = std::chrono::milliseconds(10), std::size_t minThreads = 2);
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
    void supervise();
    void startThread();  // with mutex_ held
    void joinEnded();

    const std::size_t maxThreads_;
    const Duration idleTimeout_;
    const Duration growDelay_;
    const std::size_t minThreads_;
    mutable std::mutex mutex_;
    std::condition_variable available_;  // workers wait here for tasks
    std::condition_variable stuck_;      // the supervisor waits here for tasks no thread takes
    std::chrono::steady_clock::time_point lastTaken_;
    std::array<std::deque<Task>, 5> pending_;  // indexed by QualityOfService
    std::size_t pendingCount_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    std::list<std::thread> threads_;  // alive
    std::vector<std::thread> ended_;  // ended for idleness, not joined yet
    std::thread supervisor_;
};

}  // namespace vantorix::posix
