#include "PosixDispatch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

namespace vantorix::posix {
namespace {

thread_local std::vector<const void*> runningQueues;

struct RunningOn {
    explicit RunningOn(const void* queue) { runningQueues.push_back(queue); }
    ~RunningOn() { runningQueues.pop_back(); }
    RunningOn(const RunningOn&) = delete;
    RunningOn& operator=(const RunningOn&) = delete;
};

}  // namespace

bool threadIsRunning(const void* queueState) {
    return std::find(runningQueues.begin(), runningQueues.end(), queueState) != runningQueues.end();
}

void abortOnReentrantSync(const std::string& label) {
    std::fprintf(stderr, "fatal: sync onto queue \"%s\", which the calling thread already runs on (deadlock)\n", label.c_str());
    std::fflush(stderr);
    std::abort();
}

MonotonicTime monotonicClockNow() {
    return MonotonicTime(std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

std::chrono::steady_clock::time_point toSteady(MonotonicTime time) {
    return std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(time.time_since_epoch()));
}

std::chrono::steady_clock::time_point dueAfter(Duration delay) {
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::max(delay, Duration::zero()));
}

// --- DelayScheduler ---

DelayScheduler::DelayScheduler() : thread_([this] { agenda_.run(); }) {}

DelayScheduler::~DelayScheduler() { stop(); }

void DelayScheduler::stop() {
    agenda_.close();
    if (thread_.joinable()) thread_.join();
}

// --- GlobalQueue ---

GlobalQueue::GlobalQueue(WorkerPool& pool, DelayScheduler& delays, QualityOfService qos, std::string label)
    : pool_(pool), delays_(delays), qos_(qos), label_(std::move(label)) {}

void GlobalQueue::async(Task block) {
    pool_.submit(qos_, [this, block = std::move(block)] {
        RunningOn running(this);
        block();
    });
}

void GlobalQueue::sync(const std::function<void()>& block) {
    // A concurrent queue never excludes its caller: the block runs at once on the calling thread.
    RunningOn running(this);
    block();
}

void GlobalQueue::asyncAfter(Duration delay, Task block) {
    delays_.schedule(dueAfter(delay), [this, block = std::move(block)]() mutable { async(std::move(block)); });
}

bool GlobalQueue::isCurrent() const { return threadIsRunning(this); }

// --- SerialQueue ---
//
// One owner at a time drains the queue: a pool job started by async(), or a sync() caller. When the drain
// reaches a waiting sync() call, it hands ownership to that caller, which runs its block on its own thread and
// then hands ownership back to a new pool job if blocks are waiting. So the blocks run one at a time, in
// submission order, and sync() runs on the caller's thread as it does with libdispatch.

struct SerialQueue::State : std::enable_shared_from_this<SerialQueue::State> {
    struct SyncTicket {
        bool granted = false;
        std::condition_variable grantedChanged;
    };
    struct Item {
        Task block;
        SyncTicket* ticket = nullptr;
    };

    WorkerPool& pool;
    DelayScheduler& delays;
    QualityOfService qos;
    std::string label;
    std::mutex mutex;
    std::deque<Item> items;
    bool owned = false;

    State(WorkerPool& p, DelayScheduler& d, QualityOfService q, std::string l) : pool(p), delays(d), qos(q), label(std::move(l)) {}

    void enqueue(Task block) {
        std::unique_lock lock(mutex);
        items.push_back({std::move(block), nullptr});
        if (owned) return;
        owned = true;
        lock.unlock();
        startDrain();
    }

    void startDrain() {
        pool.submit(qos, [self = shared_from_this()] { self->drain(); });
    }

    void drain() {
        std::unique_lock lock(mutex);
        while (!items.empty()) {
            Item item = std::move(items.front());
            items.pop_front();
            if (item.ticket != nullptr) {
                item.ticket->granted = true;  // ownership passes to the sync() caller
                item.ticket->grantedChanged.notify_one();
                return;
            }
            lock.unlock();
            {
                RunningOn running(this);
                item.block();
            }
            item.block = nullptr;
            lock.lock();
        }
        owned = false;
    }

    // After a sync() block: ownership goes straight to the next waiting sync() caller, without a pool thread
    // (so that callers blocked in sync() can never wait for a pool that they themselves fill), or to a new drain
    // job when blocks are waiting, or the queue is idle again.
    void release() {
        std::unique_lock lock(mutex);
        if (items.empty()) {
            owned = false;
        } else if (items.front().ticket != nullptr) {
            SyncTicket* ticket = items.front().ticket;
            items.pop_front();
            ticket->granted = true;
            ticket->grantedChanged.notify_one();
        } else {
            lock.unlock();
            startDrain();
        }
    }
};

SerialQueue::SerialQueue(WorkerPool& pool, DelayScheduler& delays, QualityOfService qos, std::string label)
    : state_(std::make_shared<State>(pool, delays, qos, std::move(label))) {}

const std::string& SerialQueue::label() const { return state_->label; }

void SerialQueue::async(Task block) { state_->enqueue(std::move(block)); }

void SerialQueue::sync(const std::function<void()>& block) {
    State& state = *state_;
    if (threadIsRunning(&state)) abortOnReentrantSync(state.label);
    {
        std::unique_lock lock(state.mutex);
        if (!state.owned) {
            state.owned = true;
        } else {
            State::SyncTicket ticket;
            state.items.push_back({nullptr, &ticket});
            ticket.grantedChanged.wait(lock, [&] { return ticket.granted; });
        }
    }
    {
        RunningOn running(&state);
        block();
    }
    state.release();
}

void SerialQueue::asyncAfter(Duration delay, Task block) {
    state_->delays.schedule(dueAfter(delay), [state = state_, block = std::move(block)]() mutable { state->enqueue(std::move(block)); });
}

bool SerialQueue::isCurrent() const { return threadIsRunning(state_.get()); }

// --- PosixSemaphore ---

bool PosixSemaphore::wait(MonotonicTime deadline) {
    std::unique_lock lock(mutex_);
    if (!available_.wait_until(lock, toSteady(deadline), [this] { return count_ > 0; })) return false;
    --count_;
    return true;
}

// Notified under the lock: a waiter woken by this unit may destroy the semaphore as soon as it has it, and a
// notification after the unlock would then touch a destroyed condition variable.
void PosixSemaphore::signal() {
    std::lock_guard lock(mutex_);
    ++count_;
    available_.notify_one();
}

}  // namespace vantorix::posix
