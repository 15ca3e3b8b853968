#include "Agenda.h"

namespace vantorix::posix {

void Agenda::schedule(TimePoint due, Task block) {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    blocks_.emplace(std::make_tuple(due, sequence_++), std::move(block));
    changed_.notify_all();
}

void Agenda::run() {
    std::unique_lock lock(mutex_);
    while (!stopRequested_ && !closed_) {
        if (blocks_.empty()) {
            changed_.wait(lock);
            continue;
        }
        TimePoint due = std::get<0>(blocks_.begin()->first);
        if (std::chrono::steady_clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        Task block = std::move(blocks_.begin()->second);
        blocks_.erase(blocks_.begin());
        lock.unlock();
        block();
        block = nullptr;  // release what the block holds before taking the lock again
        lock.lock();
    }
    stopRequested_ = false;
}

void Agenda::stop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
}

void Agenda::close() {
    decltype(blocks_) dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(blocks_);
        changed_.notify_all();
    }
}

}  // namespace vantorix::posix
