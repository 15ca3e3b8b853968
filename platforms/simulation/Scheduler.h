// The simulated platform's scheduler: virtual time, the agenda of blocks, and the simulated threads that run them,
// one at a time, deterministically.
//
// Execution contexts. A block runs on a context: the main thread, a serial queue, or a global queue (where every
// block is a context of its own). A context is busy while one of its blocks runs, also while that block is
// blocked in a wait; the scheduler never starts a block on a busy context, so no context runs inside itself.
//
// Simulated threads. Every block runs on a simulated thread, an OS thread of a small pool, and only one of them
// runs at any moment: they hand a baton to one another under one mutex, so the code under test sees ordinary
// threads while the schedule stays a pure function of the seed. When a block blocks (sleep, a semaphore, a
// stream, a sync onto a busy queue), its thread parks and the others run: due blocks of free contexts, timers,
// network arrivals, until the wait's condition holds or its deadline passes. The test's own thread is the
// driver: it runs no blocks, counts as the main thread when it calls into the extension, and parks while the
// simulation runs (runUntil) or while its own call blocks.
//
// The choice. When several things are ready at the same virtual moment (blocks due on different free
// contexts, waits that may resume), seed 0 takes the waits first, oldest first, then the block with the
// earliest (due time, submission order): the order of submission. Any other seed picks among them with a
// pseudo-random generator seeded with it, so one seed is one schedule and a test can explore many. Blocks of one
// serial context always run in submission order.
#pragma once

#include "platform/Dispatch.h"
#include "platform/Time.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace vantorix::simulation {

class Scheduler {
public:
    struct Strand;
    using Key = std::tuple<MonotonicTime, std::uint64_t>;  // (due time, submission order)

    struct Context {
        enum class Kind { main, serial, global };
        Kind kind;
        std::string label;
        Strand* holder = nullptr;          // the simulated thread running (or blocked in) a block of it
        std::map<Key, Task> pending = {};  // its blocks not yet run (main and serial contexts)
    };

    // `fail` reports a broken contract and does not return.
    explicit Scheduler(std::function<void(const std::string&)> fail);
    ~Scheduler();  // finishes every parked block (finish()) and ends the threads
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // --- Time ---
    MonotonicTime now() const { return now_; }

    // --- The schedule ---
    void setSeed(std::uint64_t seed);
    std::uint64_t seed() const { return seed_; }
    void setStepLimit(std::uint64_t steps) { stepLimit_ = steps; }
    std::uint64_t stepsTaken() const { return steps_; }

    // --- Driving (the driver only) ---
    // Runs everything that is ready up to `limit`, moving time forward; with a condition, stops as soon as it
    // holds (checked after every step). Returns whether the condition held (true without one).
    bool runUntil(MonotonicTime limit, const std::function<bool()>& condition = nullptr);
    // Drops every pending block and lets every parked block finish at once: its waits end as timed out and what
    // it submits is dropped (the end of a process). Time does not move.
    void finish();
    std::size_t pendingCount() const;
    std::size_t parkedCount() const { return waiters_.size(); }
    // Simulated threads made so far: one more than the most blocks ever parked at once.
    std::size_t threadCount() const { return strands_.size(); }
    // The longest virtual time one main-thread block took from its start to its end (parked time included):
    // how long the main thread was held.
    Duration longestMainHold() const { return longestMainHold_; }

    // --- Used by the queues, timers and streams (from any simulated thread) ---
    Context* mainContext() { return &main_; }
    Context* newContext(Context::Kind kind, std::string label);
    void submit(Context* context, Duration delay, Task block);
    // Runs the block on the calling thread as a block of `context`: after the context's earlier due blocks, and
    // once no other thread holds the context.
    void runInline(Context* context, const std::function<void()>& block);
    // Parks the calling thread until `satisfied` holds or `deadline` is reached; returns whether it holds.
    // `nextChange` tells the earliest time at which `satisfied` may turn true without any block running (a
    // network arrival), or nothing.
    bool waitUntil(const std::function<bool()>& satisfied, const std::function<std::optional<MonotonicTime>()>& nextChange,
                   MonotonicTime deadline, bool mayTimeOut = true);
    // Whether the calling thread runs a block of `context` (the main thread: the driver, or a main block).
    bool isCurrent(const Context* context) const;
    bool onMainThread() const { return isCurrent(&main_); }

private:
    struct Entry {
        Context* context;
        Task block;
    };
    struct Waiter {
        Strand* strand;
        std::function<bool()> satisfied;
        std::function<std::optional<MonotonicTime>()> nextChange;
        MonotonicTime deadline;
        bool mayTimeOut;  // false for a sync waiting for its queue: it ends only when the queue is free
    };
    // What to do next: resume a parked wait, run the first pending block of a context (or a global block), or
    // nothing before the limit.
    struct Step {
        enum class Kind { resume, run, done } kind;
        Waiter* waiter = nullptr;
        Context* context = nullptr;
        Key key{};
    };

    Strand* current() const;
    bool isBusy(const Context* context) const;
    Step decide();
    void collectReady(std::vector<Step>& ready);
    std::optional<MonotonicTime> nextEventTime();
    // Carries out a step from a thread that cannot run blocks itself now (the driver, or a parked one).
    void hand(Strand* self, const Step& step);
    Entry take(const Step& step);
    void dropPending();
    void resume(Strand* self, Waiter* waiter);
    void pass(Strand* from, Strand* to);
    Strand* idleWorker();
    void workerMain(Strand* self);
    void runEntry(Strand* self, Entry& entry);
    void checkLockOrder(Strand* self, const Context* taken);
    void countStep();

    std::function<void(const std::string&)> fail_;
    mutable std::mutex mutex_;
    MonotonicTime now_{};
    std::set<std::pair<Key, Context*>> heads_;  // the first pending key of each main or serial context
    std::map<Key, Entry> globalPending_;        // global blocks: every one is a context of its own
    std::uint64_t sequence_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t stepLimit_ = 5'000'000;
    std::uint64_t seed_ = 0;
    std::mt19937_64 random_;
    std::vector<std::unique_ptr<Waiter>> waiters_;  // in the order they parked
    std::vector<std::unique_ptr<Strand>> strands_;
    std::vector<Strand*> idle_;
    std::unique_ptr<Strand> driver_;
    std::unique_lock<std::mutex> driverLock_;
    bool driverRunning_ = false;  // the driver is inside runUntil (so it is not acting as the main thread)
    MonotonicTime limit_{};
    std::function<bool()> condition_;
    bool conditionHeld_ = false;
    bool finishing_ = false;
    bool inCondition_ = false;
    Duration longestMainHold_{};
    Context main_{Context::Kind::main, "com.vantorix.main-thread"};
    std::vector<std::unique_ptr<Context>> contexts_;
    std::set<std::pair<const Context*, const Context*>> lockOrder_;  // (held, then taken) pairs seen so far
};

}  // namespace vantorix::simulation
