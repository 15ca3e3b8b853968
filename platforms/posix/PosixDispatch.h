// The real platform's queues: global queues on the worker pool, serial queues drained on the pool one block at
// a time, a delay scheduler for asyncAfter, and the counting semaphore.
#pragma once

#include "platform/Dispatch.h"
#include "Agenda.h"
#include "WorkerPool.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace vantorix::posix {

// The serial queues the calling thread is running blocks of, innermost last. A sync() onto one of them is a
// deadlock; the queue aborts instead.
bool threadIsRunning(const void* queueState);

// Aborts the process, naming the queue whose sync() would deadlock.
[[noreturn]] void abortOnReentrantSync(const std::string& label);

// One thread that hands delayed blocks to their queue when they are due.
class DelayScheduler {
public:
    DelayScheduler();
    ~DelayScheduler();  // stop()
    // Stops the thread; blocks not yet due are dropped, and so are later ones.
    void stop();
    void schedule(std::chrono::steady_clock::time_point due, Task hand) { agenda_.schedule(due, std::move(hand)); }

private:
    Agenda agenda_;
    std::thread thread_;
};

class GlobalQueue final : public DispatchQueue {
public:
    GlobalQueue(WorkerPool& pool, DelayScheduler& delays, QualityOfService qos, std::string label);
    const std::string& label() const override { return label_; }
    void async(Task block) override;
    void sync(const std::function<void()>& block) override;
    void asyncAfter(Duration delay, Task block) override;
    bool isCurrent() const override;

private:
    WorkerPool& pool_;
    DelayScheduler& delays_;
    QualityOfService qos_;
    std::string label_;
};

class SerialQueue final : public DispatchQueue {
public:
    SerialQueue(WorkerPool& pool, DelayScheduler& delays, QualityOfService qos, std::string label);
    const std::string& label() const override;
    void async(Task block) override;
    void sync(const std::function<void()>& block) override;
    void asyncAfter(Duration delay, Task block) override;
    bool isCurrent() const override;

    struct State;  // shared with the drain jobs, so that submitted blocks outlive the queue object

private:
    std::shared_ptr<State> state_;
};

class PosixSemaphore final : public Semaphore {
public:
    explicit PosixSemaphore(int count) : count_(count) {}
    bool wait(MonotonicTime deadline) override;
    void signal() override;

private:
    std::mutex mutex_;
    std::condition_variable available_;
    int count_;
};

// The real platform's monotonic clock and its conversion to the standard steady clock.
MonotonicTime monotonicClockNow();
std::chrono::steady_clock::time_point toSteady(MonotonicTime time);
// The steady-clock moment `delay` from now; a negative delay counts as none.
std::chrono::steady_clock::time_point dueAfter(Duration delay);

}  // namespace vantorix::posix
