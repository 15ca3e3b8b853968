// The real platform: worker threads, a main run loop on the thread that calls runMainLoop(), POSIX sockets, the
// file system, badge images from the bundle's resource folder, and the file manager controller of the host
// program.
#pragma once

#include "platform/InProcessNotificationCenter.h"
#include "platform/Platform.h"
#include "DirectoryListings.h"
#include "Journal.h"
#include "MainRunLoop.h"
#include "SessionBusNotificationCenter.h"
#include "PosixDispatch.h"
#include "WorkerPool.h"

#include <array>
#include <atomic>
#include <memory>

namespace vantorix::posix {

class PosixPlatform final : public Platform {
public:
    struct Options {
        // Where imageNamed() looks for "<name>.png"; empty means the "resources" folder beside the program.
        std::string resourceDirectory;
        // Distributed notifications on the session bus (the default), or within this process only.
        bool useSessionBus = true;
    };

    PosixPlatform();
    explicit PosixPlatform(Options options);
    ~PosixPlatform() override;

    // The platform of this process, as the programs that host the extension need it (its main loop, its
    // controller): the object Platform::processPlatform() returns, made on first use and never destroyed.
    static PosixPlatform& process();

    // Runs the main run loop on the calling thread until stopMainLoop().
    void runMainLoop() { mainLoop_.run(); }
    void stopMainLoop() { mainLoop_.stop(); }

    // The host program's file manager controller. Until one is set, file manager calls go nowhere.
    void setFinderSyncController(FinderSyncController* controller) { controller_.store(controller); }
    const std::string& resourceDirectory() const { return resourceDirectory_; }

    WallTime now() override;
    MonotonicTime monotonicNow() override;
    void sleep(Duration duration) override;
    DispatchQueue& mainQueue() override { return mainLoop_; }
    DispatchQueue& globalQueue(QualityOfService qos) override;
    std::unique_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QualityOfService qos) override;
    std::unique_ptr<Semaphore> makeSemaphore(int count) override;
    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, TimerAction action) override;
    StreamPair streamsToHost(const std::string& host, int port) override;
    int userId() override;
    DirectoryNames contentsOfDirectory(const std::string& path) override;
    std::optional<Image> imageNamed(const std::string& name) override;
    FinderSyncController& finderSyncController() override;
    NotificationCenter& distributedNotificationCenter() override;

protected:
    void writeLog(const LogEntry& entry) override { journal_.write(entry); }

private:
    Journal journal_;
    std::string resourceDirectory_;
    MainRunLoop mainLoop_;
    DirectoryListings listings_;
    DelayScheduler delays_;
    std::array<std::unique_ptr<GlobalQueue>, 5> globalQueues_;
    std::atomic<FinderSyncController*> controller_{nullptr};
    // Destroyed before the queues: its threads finish their running tasks while every queue they may touch
    // still exists.
    WorkerPool pool_;
    // Destroyed first: its thread may hand notifications to handlers that submit work to the pool.
    std::unique_ptr<NotificationCenter> notifications_;
};

}  // namespace vantorix::posix
