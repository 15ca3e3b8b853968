// Start-up, the lazy restart and the teardown of the extension object.
#include "../VantorixFinderSync.h"

namespace vantorix {

// Every field gets its initial value (the member initialisers and the list below), monitoring is marked active,
// and the badges are registered before the object is handed out.
VantorixFinderSync::VantorixFinderSync(ConstructionKey, Platform& platform)
    : platform(platform),
      logger(platform, "com.vantorix.pc-client.VantorixFinderSync"),
      requestQueue(platform.makeSerialQueue("com.vantorix.socket.queue", QualityOfService::userInitiated)),
      semaphore(platform.makeSemaphore(1)),
      runQueue(platform.makeSerialQueue("com.vantorix.batch.runs", QualityOfService::userInitiated)),
      syncPathLock(platform.makeSerialQueue("com.vantorix.syncpath.lock", QualityOfService::defaultQoS)),
      serverCheckLock(platform.makeSerialQueue("com.vantorix.servercheck.lock", QualityOfService::defaultQoS)),
      waitingModeLock(platform.makeSerialQueue("com.vantorix.waiting.mode.lock", QualityOfService::defaultQoS)),
      statusCacheLock(platform.makeSerialQueue("com.vantorix.cache.status", QualityOfService::userInitiated)),
      batchLock(platform.makeSerialQueue("com.vantorix.batch.lock", QualityOfService::defaultQoS)),
      retryLock(platform.makeSerialQueue("com.vantorix.retry.lock", QualityOfService::defaultQoS)),
      observedDirLock(platform.makeSerialQueue("com.vantorix.observed.lock", QualityOfService::defaultQoS)),
      monitoringLock(platform.makeSerialQueue("com.vantorix.monitoring.lock", QualityOfService::defaultQoS)),
      lastServerCheck(platform.now()) {
    // No other thread can see the object yet, so the flag is set directly.
    isMonitoringActive = true;
    monitoringKnownActive = true;
    setupBadgeIdentifiers();
}

std::shared_ptr<VantorixFinderSync> VantorixFinderSync::create(Platform& platform) {
    auto extension = std::make_shared<VantorixFinderSync>(ConstructionKey{}, platform);
    extension->start();
    return extension;
}

std::shared_ptr<VantorixFinderSync> VantorixFinderSync::create() { return create(Platform::processPlatform()); }

// Subscribes to the local service's notifications, then leaves the first ping and everything after it to a
// background queue. The caller never waits for the local service.
void VantorixFinderSync::start() {
    registerDistributedNotificationObservers();
    platform.globalQueue(QualityOfService::userInitiated).async([self = shared_from_this()] { self->runBackgroundStart(); });
}

// The first ping only sets the waiting-mode flag, directly: entering or leaving waiting mode here would repaint
// and empty the cache for nothing. The sync-path loop, the monitoring and the cache sweep start whatever it said.
void VantorixFinderSync::runBackgroundStart() {
    bool reachable = pingServer();
    waitingModeLock->sync([&] {
        hasPerformedInitialPing = true;
        isInWaitingMode = !reachable;
    });
    logger(LogLevel::info, "Supervision", reachable ? "started; the local service answers" : "started; waiting for the local service",
           {{"reason", reachable ? "initial_ping_answered" : "initial_ping_failed"}});
    startSyncPathRetryLoop();
    startServerMonitoring();
    startCacheCleanup();
}

// The lazy restart, kept from the design: construction marks monitoring active and nothing marks it inactive, so
// the block below always returns at once and requestBadgeIdentifier never submits it.
void VantorixFinderSync::ensureMonitoringActive() {
    auto item = std::make_shared<WorkItem>([self = shared_from_this()] {
        if (self->isMonitoringActive) return;
        self->isMonitoringActive = true;
        self->monitoringKnownActive = true;
        self->platform.globalQueue(QualityOfService::userInitiated).async([self] {
            self->setupBadgeIdentifiers();
            self->startSyncPathRetryLoop();
            self->startServerMonitoring();
            self->startCacheCleanup();
            self->invalidateCache(std::nullopt, "lazy_init");
        });
    });
    monitoringLock->async(item);
}

// The teardown: timers cancelled, collections emptied, subscriptions ended. Nothing else holds the object any
// more, so the main-thread timer fields are safe to touch here.
VantorixFinderSync::~VantorixFinderSync() {
    for (auto* timer : {&cacheCleanupTimer, &reconnectTimer}) {
        if (*timer) (*timer)->invalidate();
    }
    batchLock->sync([&] {
        if (batchTimer) batchTimer->invalidate();
    });
    retryLock->sync([&] {
        if (retryTimer) retryTimer->invalidate();
    });
    observedDirLock->sync([&] {
        for (auto& [path, timer] : observedDirectories) timer->invalidate();
        observedDirectories.clear();
    });
    batchLock->sync([&] {
        batchQueue.clear();
        pathsUnderWay.clear();
        notifiedPaths.clear();
        notifiedMembers.clear();
    });
    statusCacheLock->sync([&] {
        statusCache.clear();
        cacheEvictionOrder.clear();
    });
    platform.distributedNotificationCenter().removeObserver(this);
}

bool VantorixFinderSync::isWaitingForLocalService() { return waitingModeLock->syncValue([&] { return isInWaitingMode; }); }

std::optional<std::string> VantorixFinderSync::syncFolder() { return syncPathLock->syncValue([&] { return currentSyncPath; }); }

VantorixFinderSync::Backlog VantorixFinderSync::backlog() {
    Backlog backlog{isWaitingForLocalService(), 0, 0, 0};
    batchLock->sync([&] {
        backlog.queued = batchQueue.size();
        backlog.inFlight = pathsUnderWay.size() - batchQueue.size();
    });
    backlog.retrying = retryLock->syncValue([&] { return retryQueue.size(); });
    return backlog;
}

}  // namespace vantorix
