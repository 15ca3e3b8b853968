// A Platform that hands every operation to another one. Derive from it and override the one operation to change:
// a test injects a single fault (a listing that fails, a connection sent elsewhere, another file manager) into
// the real platform and keeps everything else real, its threads, sockets and timers included.
//
// The target must outlive the wrapper. Log entries go to the target, which applies its own threshold.
#pragma once

#include "Platform.h"

namespace vantorix {

class PlatformWrapper : public Platform {
public:
    explicit PlatformWrapper(Platform& target) : target_(target) { setLogThreshold(LogLevel::debug); }

    Platform& target() { return target_; }

    WallTime now() override { return target_.now(); }
    MonotonicTime monotonicNow() override { return target_.monotonicNow(); }
    void sleep(Duration duration) override { target_.sleep(duration); }
    DispatchQueue& mainQueue() override { return target_.mainQueue(); }
    DispatchQueue& globalQueue(QualityOfService qos) override { return target_.globalQueue(qos); }
    std::unique_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QualityOfService qos) override { return target_.makeSerialQueue(label, qos); }
    std::unique_ptr<Semaphore> makeSemaphore(int count) override { return target_.makeSemaphore(count); }
    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, TimerAction action) override {
        return target_.scheduleTimer(interval, repeats, std::move(action));
    }
    StreamPair streamsToHost(const std::string& host, int port) override { return target_.streamsToHost(host, port); }
    int userId() override { return target_.userId(); }
    std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) override { return target_.contentsOfDirectory(path); }
    std::optional<Image> imageNamed(const std::string& name) override { return target_.imageNamed(name); }
    FinderSyncController& finderSyncController() override { return target_.finderSyncController(); }
    NotificationCenter& distributedNotificationCenter() override { return target_.distributedNotificationCenter(); }

protected:
    void writeLog(const LogEntry& entry) override { target_.log(entry.level, entry.category, entry.message, entry.fields); }

private:
    Platform& target_;
};

}  // namespace vantorix
