#include "WorkerPool.h"

namespace vantorix::posix {

WorkerPool::WorkerPool(std::size_t maxThreads, Duration idleTimeout, Duration growDelay, std::size_t minThreads)
    : maxThreads_(maxThreads), idleTimeout_(idleTimeout), growDelay_(growDelay), minThreads_(minThreads), supervisor_([this] { supervise(); }) {}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() {
    std::list<std::thread> threads;
    std::vector<std::thread> ended;
    std::array<std::deque<Task>, 5> dropped;  // destroyed outside the lock: what they hold may submit on its way out
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
        ended.swap(ended_);
        dropped.swap(pending_);
        pendingCount_ = 0;
    }
    available_.notify_all();
    stuck_.notify_all();
    if (supervisor_.joinable()) supervisor_.join();
    for (auto& thread : threads) thread.join();
    for (auto& thread : ended) thread.join();
}

// Threads that ended for idleness are joined by the next submission (they have returned, or are about to).
void WorkerPool::joinEnded() {
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(mutex_);
        ended.swap(ended_);
    }
    for (auto& thread : ended) thread.join();
}

void WorkerPool::submit(QualityOfService qos, Task task) {
    joinEnded();
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    pending_[static_cast<std::size_t>(qos)].push_back(std::move(task));
    ++pendingCount_;
    if (pendingCount_ > idle_) {
        if (threads_.size() < minThreads_) startThread();
        else stuck_.notify_one();
    }
    available_.notify_one();
}

void WorkerPool::startThread() {
    threads_.emplace_back();
    auto self = std::prev(threads_.end());
    *self = std::thread([this, self] { run(self); });
}

// Adds a thread when tasks wait and no thread has taken one for the grow delay: the threads there are are stuck.
void WorkerPool::supervise() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (pendingCount_ <= idle_) {
            stuck_.wait(lock);
            continue;
        }
        auto waitingSince = std::max(lastTaken_, std::chrono::steady_clock::now() - growDelay_ / 2);
        stuck_.wait_until(lock, waitingSince + growDelay_);
        if (stopping_) return;
        if (pendingCount_ > idle_ && std::chrono::steady_clock::now() - lastTaken_ >= growDelay_ && threads_.size() < maxThreads_) {
            startThread();
            lastTaken_ = std::chrono::steady_clock::now();  // give the new thread its turn before judging again
        }
    }
}

std::size_t WorkerPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void WorkerPool::run(std::list<std::thread>::iterator self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        bool woken = available_.wait_for(lock, idleTimeout_, [this] { return stopping_ || pendingCount_ > 0; });
        --idle_;
        if (stopping_) return;
        if (!woken) {
            // Idle for the whole idle time: this thread ends. Its handle moves to ended_ for a later join.
            ended_.push_back(std::move(*self));
            threads_.erase(self);
            return;
        }
        Task task;
        for (auto& queue : pending_) {
            if (!queue.empty()) {
                task = std::move(queue.front());
                queue.pop_front();
                break;
            }
        }
        --pendingCount_;
        lastTaken_ = std::chrono::steady_clock::now();
        lock.unlock();
        task();
        task = nullptr;  // release what the task captured before taking the lock again
        lock.lock();
    }
}

}  // namespace vantorix::posix
