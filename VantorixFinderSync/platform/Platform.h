// The platform seam: every queue, timer, clock, socket, directory listing, image lookup, file-manager call and
// notification of the extension goes through one Platform. Two implementations exist: the real one
// (posix/PosixPlatform.h: threads, sockets, the file system, the session bus) and the simulated one
// (simulation/SimulatedPlatform.h: one thread, virtual time, an in-memory network), which tests and benchmarks
// use.
//
// Ownership: the Platform owns every queue and the main queue it hands out, and must outlive every object that
// uses it. Timers, semaphores and streams belong to whoever asked for them.
#pragma once

#include "Dispatch.h"
#include "FinderSync.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "Streams.h"
#include "Time.h"
#include "Timer.h"
#include "URL.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantorix {

class Platform {
public:
    virtual ~Platform() = default;

    // The platform of this process: the real platform, made on first use and never destroyed. It is what the
    // extension entry point gives the extension object.
    static Platform& processPlatform();

    // --- Time ---
    virtual WallTime now() = 0;
    virtual MonotonicTime monotonicNow() = 0;
    // Blocks the calling thread for `duration` (on the simulated platform: lets virtual time pass).
    virtual void sleep(Duration duration) = 0;

    // --- Dispatch ---
    virtual DispatchQueue& mainQueue() = 0;
    virtual DispatchQueue& globalQueue(QualityOfService qos) = 0;
    virtual std::unique_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QualityOfService qos) = 0;
    virtual std::unique_ptr<Semaphore> makeSemaphore(int count) = 0;

    // --- Main run loop timers: scheduled, fired and normally invalidated on the main thread ---
    virtual std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, TimerAction action) = 0;

    // --- Network ---
    virtual StreamPair streamsToHost(const std::string& host, int port) = 0;
    // The user this process runs as, to compare with the owner of a peer.
    virtual int userId() = 0;

    // --- Files ---
    // The names of a directory's entries, one level, without "." and ".."; nothing when the directory cannot be
    // listed (missing, unreadable, not a directory).
    virtual std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) = 0;

    // --- Bundle resources ---
    virtual std::optional<Image> imageNamed(const std::string& name) = 0;

    // --- The file manager and the notification center ---
    virtual FinderSyncController& finderSyncController() = 0;
    virtual NotificationCenter& distributedNotificationCenter() = 0;

    // --- Diagnostics ---
    // Whether an entry of `level` is written anywhere. Cheap: callers ask before building an entry whose fields
    // cost something to make.
    bool logs(LogLevel level) const { return level >= threshold_.load(std::memory_order_relaxed); }
    // Writes one entry, if its level is logged. Any thread.
    void log(LogLevel level, const std::string& category, const std::string& message, std::vector<LogField> fields = {}) {
        if (logs(level)) writeLog(LogEntry{level, category, message, std::move(fields)});
    }

protected:
    // Writes an entry whose level is logged. Any thread; must not call back into the extension.
    virtual void writeLog(const LogEntry& entry) = 0;
    void setLogThreshold(LogLevel level) { threshold_.store(level, std::memory_order_relaxed); }

private:
    std::atomic<LogLevel> threshold_{LogLevel::info};
};

}  // namespace vantorix
