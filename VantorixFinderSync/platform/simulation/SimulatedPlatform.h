// The simulated platform: one thread, virtual time, deterministic.
//
// Every block, delayed block and timer firing sits on one agenda ordered by (due time, submission order). The
// test drives it: runUntilIdle() runs what is due now, advanceBy()/runUntil() run everything due up to a time,
// in order, moving the virtual clock to each block's due time. A block runs to its end before the next starts;
// a blocking call inside a block (sleep, a semaphore or stream wait) lets virtual time pass up to the moment its
// condition holds or its deadline, while nothing else runs, as if that thread were busy. Timers whose firings
// fell into such a gap fire late, once, as on a busy run loop.
//
// sync() runs inline, after the queue's earlier blocks that are due; a sync() onto a serial queue that is
// already running (the deadlock it would be) fails loudly with the queue's label, and so does a pair of serial
// queues taken in both orders (the deadlock two threads would meet). The test thread counts as the
// main thread when no block is running. A step limit stops a test that would spin forever on repeating timers.
#pragma once

#include "../InProcessNotificationCenter.h"
#include "../Platform.h"
#include "RecordingFileManager.h"
#include "SimulatedNetwork.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace vantorix::simulation {

class SimulatedPlatform final : public Platform {
public:
    SimulatedPlatform();
    ~SimulatedPlatform() override;

    // --- Driving ---
    void runUntilIdle();
    void advanceBy(Duration duration);
    void runUntil(MonotonicTime time);
    // Runs until `condition` holds (checked after every block) or `limit` has passed; returns whether it holds.
    bool runUntilCondition(const std::function<bool()>& condition, Duration limit);
    // Seconds of virtual time since the platform was made.
    double elapsedSeconds() const { return toSeconds(now_.time_since_epoch()); }
    // Drops every pending block and timer, releasing what they hold (the end of a process).
    void discardPendingWork();
    std::size_t pendingCount() const { return agenda_.size(); }
    void setStepLimit(std::uint64_t steps) { stepLimit_ = steps; }
    std::uint64_t stepsTaken() const { return steps_; }

    // --- The simulated world ---
    ScriptedLocalService& localService() { return service_; }
    RecordingFileManager& recordingFileManager() { return recorder_; }
    // Replaces the file manager controller the extension talks to (the recording one by default).
    void setFinderSyncController(FinderSyncController* controller) { controller_ = controller; }
    void addDirectory(const std::string& path, std::vector<std::string> names);
    void removeDirectory(const std::string& path);
    void removeImage(const std::string& name) { images_.erase(name); }

    // Every log entry written so far, debug ones included, in order.
    const std::vector<LogEntry>& logEntries() const { return logEntries_; }
    // The entries whose message begins with `message`.
    std::vector<LogEntry> logEntriesWith(const std::string& message) const;

    // Reports a broken platform contract (a deadlock, a runaway test) and aborts.
    [[noreturn]] void fail(const std::string& message) const;

    // --- Platform ---
    WallTime now() override;
    MonotonicTime monotonicNow() override { return now_; }
    void sleep(Duration duration) override;
    DispatchQueue& mainQueue() override;
    DispatchQueue& globalQueue(QualityOfService qos) override;
    std::unique_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QualityOfService qos) override;
    std::unique_ptr<Semaphore> makeSemaphore(int count) override;
    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, TimerAction action) override;
    StreamPair streamsToHost(const std::string& host, int port) override;
    std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) override;
    std::optional<Image> imageNamed(const std::string& name) override;
    FinderSyncController& finderSyncController() override { return *controller_; }
    InProcessNotificationCenter& distributedNotificationCenter() override { return notifications_; }

    // --- Used by the simulated queues, timers and streams ---
    struct Context;  // the thing a block runs on: the main thread, a serial queue, or a global queue
    void submit(Context* context, Duration delay, Task block);
    void runInline(Context* context, const std::function<void()>& block);
    // Lets virtual time pass until `satisfied` holds or `deadline` is reached; returns whether it holds.
    // `nextChange` tells the earliest time at which `satisfied` could become true without anything running
    // (a network arrival), or nothing.
    bool waitUntil(const std::function<bool()>& satisfied, const std::function<std::optional<MonotonicTime>()>& nextChange,
                   MonotonicTime deadline);
    bool isRunning(const Context* context) const;
    Context* mainContext() { return mainContext_.get(); }

protected:
    void writeLog(const LogEntry& entry) override { logEntries_.push_back(entry); }

private:
    using Key = std::tuple<MonotonicTime, std::uint64_t>;
    struct Entry {
        Context* context;
        Task block;
    };
    bool runNextDueBy(MonotonicTime limit);
    void checkLockOrder(const Context* taken);
    void runEntry(Context* context, Task& block);

    MonotonicTime now_{};
    std::map<Key, Entry> agenda_;
    std::uint64_t sequence_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t stepLimit_ = 5'000'000;
    std::vector<Context*> running_;
    std::set<std::pair<const Context*, const Context*>> lockOrder_;  // (held, then taken) pairs seen so far

    std::unique_ptr<Context> mainContext_;
    std::unique_ptr<DispatchQueue> mainQueue_;
    std::map<QualityOfService, std::unique_ptr<DispatchQueue>> globalQueues_;
    std::vector<std::shared_ptr<Context>> contexts_;

    ScriptedLocalService service_;
    RecordingFileManager recorder_;
    FinderSyncController* controller_;
    InProcessNotificationCenter notifications_;
    std::unordered_map<std::string, std::vector<std::string>> directories_;
    std::set<std::string> images_;
    std::vector<LogEntry> logEntries_;
};

}  // namespace vantorix::simulation
