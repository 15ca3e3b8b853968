// The platform seam: every queue, timer, clock, socket, directory listing, image lookup, file-manager call and
// notification of the extension goes through one Platform. Two implementations exist: the real one
// (posix/PosixPlatform.h: threads, sockets, the file system, the session bus) and the simulated one
// (simulation/SimulatedPlatform.h: simulated threads passing one baton, so that one of them runs at a time, in
// virtual time, over an in-memory network), which tests and benchmarks use.
//
// Each operation below says what it does, from which threads it may be called, and what failure looks like. None
// throws; an operation that can fail says so in its result.
//
// Ownership: the Platform owns every queue and the main queue it hands out, and must outlive every object that
// uses it. Timers, semaphores and streams belong to whoever asked for them.
#pragma once

#include "DirectoryNames.h"
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
    // The wall clock, for the times stored in the cache and the logs. Any thread; cannot fail. It may jump.
    virtual WallTime now() = 0;
    // The clock for deadlines and intervals: it never goes back. Any thread; cannot fail.
    virtual MonotonicTime monotonicNow() = 0;
    // Blocks the calling thread for `duration` (on the simulated platform: lets virtual time pass). Any thread but
    // the main thread, which must never wait.
    virtual void sleep(Duration duration) = 0;

    // --- Dispatch ---
    // The serial queue whose blocks run on the main thread, in the order submitted. Any thread; cannot fail.
    virtual DispatchQueue& mainQueue() = 0;
    // A concurrent queue of the given quality of service: its blocks run on worker threads, several at a time.
    // Any thread; cannot fail.
    virtual DispatchQueue& globalQueue(QualityOfService qos) = 0;
    // A new serial queue: one block at a time, in the order submitted, on worker threads; also a lock, through
    // sync(). `label` names it in diagnostics. Any thread; cannot fail.
    virtual std::unique_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QualityOfService qos) = 0;
    // A counting semaphore holding `count` (0 or more). Any thread; cannot fail (its wait reports a timeout).
    virtual std::unique_ptr<Semaphore> makeSemaphore(int count) = 0;

    // --- Main run loop timers: scheduled, fired and normally invalidated on the main thread ---
    // A timer firing `action` on the main thread `interval` from now (then every interval, if it repeats), until
    // it is invalidated. Main thread only; cannot fail.
    virtual std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, TimerAction action) = 0;

    // --- Network ---
    // An unopened stream pair for one TCP connection to host:port (Streams.h). Any thread; never blocks. Failure
    // comes later, through the streams: an address that cannot be used or a refused connection puts them in the
    // error state once opened.
    virtual StreamPair streamsToHost(const std::string& host, int port) = 0;
    // The user this process runs as, to compare with the owner of a peer. Any thread; cannot fail.
    virtual int userId() = 0;

    // --- Files ---
    // The names of a directory's entries, one level, without "." and ".."; nothing when the directory cannot be
    // listed (missing, unreadable, not a directory). Any thread; it blocks for the listing, which the polling
    // timer makes on the main thread (one level of a local folder). The real platform may answer from an earlier
    // listing while the directory's times show no change since, for at most 10 s: the same names, shared rather
    // than copied, since a shown folder is listed by the polling and by its file manager every second or two.
    virtual DirectoryNames contentsOfDirectory(const std::string& path) = 0;

    // --- Bundle resources ---
    // The image the bundle holds under `name` ("oi_success": the file oi_success.png of the resource folder);
    // nothing when there is none or it cannot be read. Any thread.
    virtual std::optional<Image> imageNamed(const std::string& name) = 0;

    // --- The file manager and the notification center ---
    // The file manager's controller (FinderSync.h says on which thread each of its calls is made). Any thread;
    // cannot fail: before a file manager is attached, its calls go nowhere.
    virtual FinderSyncController& finderSyncController() = 0;
    // The distributed notification center (NotificationCenter.h). Any thread; cannot fail: a center that cannot
    // reach its bus logs so and delivers nothing until it can.
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
