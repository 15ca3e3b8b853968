// Start-up, the lazy restart and the teardown of the extension object.
#include "../VantorixFinderSync.h"

namespace vantorix {

// S1 to S4: every field gets its initial value (the member initialisers and the list below), monitoring is
// marked active, and the badges are registered before the object is handed out.
VantorixFinderSync::VantorixFinderSync(Platform& platform)
    : platform(platform),
      logger{"com.vantorix.pc-client.VantorixFinderSync", "SyncStatus"},
      requestQueue(platform.makeSerialQueue("com.vantorix.socket.queue", QualityOfService::userInitiated)),
      semaphore(platform.makeSemaphore(1)),
      requestsLock(platform.makeSerialQueue("com.vantorix.requests.lock", QualityOfService::defaultQoS)),
      syncPathLock(platform.makeSerialQueue("com.vantorix.syncpath.lock", QualityOfService::defaultQoS)),
      lastServerCheck(platform.now()),
      serverCheckLock(platform.makeSerialQueue("com.vantorix.servercheck.lock", QualityOfService::defaultQoS)),
      monitoringLock(platform.makeSerialQueue("com.vantorix.monitoring.lock", QualityOfService::defaultQoS)),
      waitingModeLock(platform.makeSerialQueue("com.vantorix.waiting.mode.lock", QualityOfService::defaultQoS)),
      statusCacheLock(platform.makeSerialQueue("com.vantorix.cache.status", QualityOfService::userInitiated)),
      batchLock(platform.makeSerialQueue("com.vantorix.batch.lock", QualityOfService::defaultQoS)),
      retryLock(platform.makeSerialQueue("com.vantorix.retry.lock", QualityOfService::defaultQoS)),
      observedDirLock(platform.makeSerialQueue("com.vantorix.observed.lock", QualityOfService::defaultQoS)) {
    // No other thread can see the object yet, so the flag is set directly.
    isMonitoringActive = true;
    setupBadgeIdentifiers();
}

VantorixFinderSync::VantorixFinderSync() : VantorixFinderSync(Platform::processPlatform()) {}

std::shared_ptr<VantorixFinderSync> VantorixFinderSync::create(Platform& platform) {
    auto extension = std::make_shared<VantorixFinderSync>(platform);
    extension->start();
    return extension;
}

std::shared_ptr<VantorixFinderSync> VantorixFinderSync::create() { return create(Platform::processPlatform()); }

// S5 and S6: subscribe to the local service's notifications, then leave the first ping and everything after it
// to a background queue. The caller never waits for the local service.
void VantorixFinderSync::start() {
    registerDistributedNotificationObservers();
    platform.globalQueue(QualityOfService::userInitiated).async([self = shared_from_this()] { self->runBackgroundStart(); });
}

// B1 to B4. The ping result only sets the waiting-mode flag, directly: entering or leaving waiting mode here
// would repaint and empty the cache for nothing. The rest starts whatever the result.
void VantorixFinderSync::runBackgroundStart() {
    bool reachable = pingServer();
    waitingModeLock->sync([&] {
        hasPerformedInitialPing = true;
        isInWaitingMode = !reachable;
    });
    startSyncPathRetryLoop();
    startServerMonitoring();
    startCacheCleanup();
}

void VantorixFinderSync::ensureMonitoringActive() {
    auto item = std::make_shared<WorkItem>([self = shared_from_this()] {
        if (self->isMonitoringActive) return;
        self->isMonitoringActive = true;
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

// T1 to T7. Nothing else holds the object any more, so the main-thread timer fields are safe to touch here.
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
        batchQueueMembers.clear();
    });
    requestsLock->sync([&] { pendingRequests.clear(); });
    statusCacheLock->sync([&] { statusCache.clear(); });
    platform.distributedNotificationCenter().removeObserver(this);
}

// --- Read-only views for tests and tools ---

bool VantorixFinderSync::isWaitingForLocalService() { return waitingModeLock->syncValue([&] { return isInWaitingMode; }); }
bool VantorixFinderSync::waitingModeForTesting() { return isWaitingForLocalService(); }
bool VantorixFinderSync::serverAvailableForTesting() { return serverCheckLock->syncValue([&] { return isServerAvailable; }); }
bool VantorixFinderSync::initialPingPerformedForTesting() { return waitingModeLock->syncValue([&] { return hasPerformedInitialPing; }); }
bool VantorixFinderSync::monitoringActiveForTesting() { return monitoringLock->syncValue([&] { return isMonitoringActive; }); }
std::optional<std::string> VantorixFinderSync::syncPathForTesting() { return syncPathLock->syncValue([&] { return currentSyncPath; }); }
std::vector<std::string> VantorixFinderSync::batchQueueForTesting() { return batchLock->syncValue([&] { return batchQueue; }); }
bool VantorixFinderSync::batchTimerPendingForTesting() {
    return batchLock->syncValue([&] { return batchTimerPending || (batchTimer && batchTimer->isValid()); });
}
std::vector<std::string> VantorixFinderSync::retryQueueForTesting() { return retryLock->syncValue([&] { return retryQueue; }); }
std::size_t VantorixFinderSync::statusCacheSizeForTesting() { return statusCacheLock->syncValue([&] { return statusCache.size(); }); }
std::optional<CachedStatus> VantorixFinderSync::cacheEntryForTesting(const std::string& path) {
    return statusCacheLock->syncValue([&]() -> std::optional<CachedStatus> {
        auto found = statusCache.find(path);
        if (found == statusCache.end()) return std::nullopt;
        return found->second;
    });
}
std::vector<std::string> VantorixFinderSync::observedDirectoriesForTesting() {
    return observedDirLock->syncValue([&] {
        std::vector<std::string> paths;
        for (const auto& entry : observedDirectories) paths.push_back(entry.first);
        return paths;
    });
}
bool VantorixFinderSync::retryTimerRunningForTesting() {
    return retryLock->syncValue([&] { return retryTimerStarting || (retryTimer && retryTimer->isValid()); });
}
void VantorixFinderSync::setSyncPathForTesting(const std::string& path) { syncPathLock->sync([&] { currentSyncPath = path; }); }
void VantorixFinderSync::setWaitingModeForTesting(bool waiting) { waitingModeLock->sync([&] { isInWaitingMode = waiting; }); }

}  // namespace vantorix
