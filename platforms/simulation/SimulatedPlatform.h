// The simulated platform: virtual time, an in-memory network, a recording file manager, deterministic
// interleaving.
//
// Blocks, delayed blocks and timer firings run on simulated threads under the Scheduler (Scheduler.h): one at a
// time, in an order fixed by the schedule seed. A blocking call inside a block (sleep, a semaphore or stream
// wait, a sync onto a queue another thread holds) parks that thread while the others run, until its condition
// holds or its deadline passes; a main-thread block that blocks holds up timers and main-queue blocks, as on a
// real main thread. The test drives it: runUntilIdle() runs what is ready now, advanceBy()/runUntil() run
// everything up to a time, runUntilCondition() until a condition holds. The test's thread counts as the main
// thread when it calls into the extension.
//
// Contracts it checks, failing the test loudly: a sync() onto a queue the caller already runs on (a deadlock); a
// pair of serial queues taken in both orders (the deadlock two threads would meet); a timer scheduled, or a
// file manager call other than badge registration made, off the main thread; a runaway schedule (step limit).
//
// The schedule seed: VANTORIX_SEED when set, otherwise 0 (submission order) unless the test sets one.
//
// The simulated threads are real threads passing one baton (the scheduler's lock): exactly one of them, or the
// test's thread, runs at any moment. The test's thread holds the baton whenever it is not driving, so one test
// thread keeps one simulated platform alive at a time: two would take their batons in both orders.
#pragma once

#include "platform/InProcessNotificationCenter.h"
#include "platform/Platform.h"
#include "RecordingFileManager.h"
#include "Scheduler.h"
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

    // --- Driving (from the test's thread, never from inside a block) ---
    void runUntilIdle();
    void advanceBy(Duration duration);
    void runUntil(MonotonicTime time);
    // Runs until `condition` holds (checked after every step) or `limit` has passed; returns whether it holds.
    // The condition may read state (also through sync) but must not block.
    bool runUntilCondition(const std::function<bool()>& condition, Duration limit);
    // Virtual time since the platform was made.
    Duration elapsed() const { return scheduler_.now().time_since_epoch(); }
    // Drops every pending block and timer, releasing what they hold, and lets every parked block end at once
    // (the end of a process).
    void discardPendingWork() { scheduler_.finish(); }
    std::size_t pendingCount() const { return scheduler_.pendingCount(); }
    void setStepLimit(std::uint64_t steps) { scheduler_.setStepLimit(steps); }
    std::uint64_t stepsTaken() const { return scheduler_.stepsTaken(); }
    Duration longestMainHold() const { return scheduler_.longestMainHold(); }
    std::size_t threadCount() const { return scheduler_.threadCount(); }
    // The schedule seed; VANTORIX_SEED, when set, wins over the one a test sets.
    std::uint64_t scheduleSeed() const { return scheduler_.seed(); }
    void setScheduleSeed(std::uint64_t seed);

    // --- The simulated world ---
    ScriptedLocalService& localService() { return service_; }
    RecordingFileManager& recordingFileManager() { return recorder_; }
    // Replaces the file manager controller the extension talks to (the recording one by default).
    void setFinderSyncController(FinderSyncController* controller) { controller_ = controller; }
    void addDirectory(const std::string& path, std::vector<std::string> names);
    void removeDirectory(const std::string& path);
    void removeImage(const std::string& name) { images_.erase(name); }
    // Steps the wall clock (now()) by `offset`, forwards or back, as a user or a time daemon may set it; the
    // monotonic clock and everything due on it are untouched.
    void stepWallClock(Duration offset) { wallClockOffset_ += offset; }

    // Every log entry written so far, debug ones included, in order.
    const std::vector<LogEntry>& logEntries() const { return logEntries_; }
    // The entries whose message begins with `message`.
    std::vector<LogEntry> logEntriesWith(const std::string& message) const;

    // Reports a broken platform contract (a deadlock, a runaway test) and aborts.
    [[noreturn]] void fail(const std::string& message) const;

    // --- Platform ---
    WallTime now() override;
    MonotonicTime monotonicNow() override { return scheduler_.now(); }
    void sleep(Duration duration) override;
    DispatchQueue& mainQueue() override;
    DispatchQueue& globalQueue(QualityOfService qos) override;
    std::unique_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QualityOfService qos) override;
    std::unique_ptr<Semaphore> makeSemaphore(int count) override;
    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, TimerAction action) override;
    StreamPair streamsToHost(const std::string& host, int port) override;
    int userId() override { return ScriptedLocalService::kUser; }
    DirectoryNames contentsOfDirectory(const std::string& path) override;
    std::optional<Image> imageNamed(const std::string& name) override;
    FinderSyncController& finderSyncController() override { return checkedController_; }
    InProcessNotificationCenter& distributedNotificationCenter() override { return notifications_; }

    // --- Used by the simulated queues, timers and streams ---
    Scheduler& scheduler() { return scheduler_; }
    // Parks the calling thread until `satisfied` holds or `deadline` is reached; returns whether it holds.
    // `nextChange` tells the earliest time at which `satisfied` could become true without anything running
    // (a network arrival), or nothing.
    bool waitUntil(const std::function<bool()>& satisfied, const std::function<std::optional<MonotonicTime>()>& nextChange,
                   MonotonicTime deadline) {
        return scheduler_.waitUntil(satisfied, nextChange, deadline);
    }

protected:
    void writeLog(const LogEntry& entry) override { logEntries_.push_back(entry); }

private:
    // Passes the file manager calls on to the current controller, after checking that those reserved for the
    // main thread come from it.
    class CheckedController final : public FinderSyncController {
    public:
        explicit CheckedController(SimulatedPlatform& platform) : platform_(platform) {}
        void setBadgeImage(const Image& image, const std::string& label, const std::string& identifier) override;
        void setBadgeIdentifier(const std::string& identifier, const URL& url) override;
        void setDirectoryURLs(const std::set<URL>& urls) override;

    private:
        SimulatedPlatform& platform_;
    };
    void requireMainThread(const char* call) const;

    Scheduler scheduler_;
    std::unique_ptr<DispatchQueue> mainQueue_;
    std::map<QualityOfService, std::unique_ptr<DispatchQueue>> globalQueues_;
    bool seedFromEnvironment_ = false;
    Duration wallClockOffset_{0};  // read and stepped by whoever holds the baton

    ScriptedLocalService service_;
    RecordingFileManager recorder_;
    FinderSyncController* controller_;
    CheckedController checkedController_{*this};
    InProcessNotificationCenter notifications_;
    std::unordered_map<std::string, std::vector<std::string>> directories_;
    std::set<std::string> images_;
    std::vector<LogEntry> logEntries_;
};

}  // namespace vantorix::simulation
