#include "WorkerPool.h"

namespace vantorix::posix {

WorkerPool::WorkerPool(std::size_t maxThreads) : maxThreads_(maxThreads) {}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() {
    std::vector<std::thread> threads;
    std::array<std::deque<Task>, 5> dropped;  // destroyed outside the lock: what they hold may submit on its way out
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
        dropped.swap(pending_);
        pendingCount_ = 0;
    }
    available_.notify_all();
    for (auto& thread : threads) thread.join();
}

void WorkerPool::submit(QualityOfService qos, Task task) {
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    pending_[static_cast<std::size_t>(qos)].push_back(std::move(task));
    ++pendingCount_;
    if (pendingCount_ > idle_ && threads_.size() < maxThreads_) {
        threads_.emplace_back([this] { run(); });
    }
    available_.notify_one();
}

std::size_t WorkerPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void WorkerPool::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        available_.wait(lock, [this] { return stopping_ || pendingCount_ > 0; });
        --idle_;
        if (stopping_) return;
        Task task;
        for (auto& queue : pending_) {
            if (!queue.empty()) {
                task = std::move(queue.front());
                queue.pop_front();
                break;
            }
        }
        --pendingCount_;
        lock.unlock();
        task();
        task = nullptr;  // release what the task captured before taking the lock again
        lock.lock();
    }
}

}  // namespace vantorix::posix
