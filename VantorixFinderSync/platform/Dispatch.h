// Dispatch: queues, work items and the counting semaphore of the platform seam.
//
// A DispatchQueue is either the main queue (run by the platform's main run loop), a global concurrent queue, or
// a serial queue made by Platform::makeSerialQueue. Guarantees every implementation keeps:
//   - async() never runs the block before it returns;
//   - a serial queue runs its blocks one at a time in submission order, and sync() runs its block after every
//     block submitted before it and before any block submitted after it has started;
//   - asyncAfter(d) never runs the block earlier than d after the call; blocks with the same due time run in
//     submission order;
//   - sync() onto a serial queue (or the main queue) the calling thread already runs on is the deadlock it would
//     be: the platform aborts with a message naming the queue's label instead of hanging.
#pragma once

#include "Time.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace vantorix {

using Task = std::function<void()>;

enum class QualityOfService { userInteractive, userInitiated, defaultQoS, utility, background };

// A block that may be cancelled before it runs. Cancelling a running block does not stop it.
class WorkItem {
public:
    explicit WorkItem(Task block) : block_(std::move(block)) {}
    WorkItem(const WorkItem&) = delete;
    WorkItem& operator=(const WorkItem&) = delete;

    void cancel() { cancelled_.store(true, std::memory_order_release); }
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // Runs the block unless the item was cancelled first.
    void perform() {
        if (!isCancelled()) block_();
    }

private:
    Task block_;
    std::atomic<bool> cancelled_{false};
};

class DispatchQueue {
public:
    virtual ~DispatchQueue() = default;

    virtual const std::string& label() const = 0;

    // Submits the block and returns at once.
    virtual void async(Task block) = 0;

    // Runs the block on this queue and waits until it has run. For a serial queue this is the lock idiom: the
    // block is exclusive with every other block of the queue.
    virtual void sync(const std::function<void()>& block) = 0;

    // Submits the block to run no earlier than `delay` from now (measured on the monotonic clock).
    virtual void asyncAfter(Duration delay, Task block) = 0;

    // True when the calling thread is running a block of this queue (for a serial queue, including a block run
    // through sync()); for the main queue, when the caller is on the main thread.
    virtual bool isCurrent() const = 0;

    // Submits a work item; the item's block is skipped if it is cancelled before it runs.
    void async(const std::shared_ptr<WorkItem>& item) {
        async([item] { item->perform(); });
    }

    // sync() that returns the block's value.
    template <typename F>
    auto syncValue(F&& block) -> std::invoke_result_t<F&> {
        using Result = std::invoke_result_t<F&>;
        std::optional<Result> result;
        sync([&] { result.emplace(block()); });
        return std::move(*result);
    }
};

// A counting semaphore. wait() takes one unit, blocking until one is available or the deadline has passed; it
// returns whether a unit was taken. A deadline in the past means "do not wait", never "wait forever".
class Semaphore {
public:
    virtual ~Semaphore() = default;
    virtual bool wait(MonotonicTime deadline) = 0;
    virtual void signal() = 0;
};

}  // namespace vantorix
