// The tests' one way inside the extension object: its operations and read-only views of its fields, each field
// read on the lock queue or thread that owns it.
#pragma once

#include "VantorixFinderSync.h"

namespace vantorix {

class VantorixFinderSyncTestPeer {
public:
    explicit VantorixFinderSyncTestPeer(VantorixFinderSync& extension) : e(extension) {}

    // The object as construction leaves it: badges registered, nothing subscribed, no background start.
    static std::shared_ptr<VantorixFinderSync> makeUnstarted(Platform& platform) {
        return std::make_shared<VantorixFinderSync>(VantorixFinderSync::ConstructionKey{}, platform);
    }

    // --- Fields ---
    bool waitingMode() { return e.waitingModeLock->syncValue([&] { return e.isInWaitingMode; }); }
    bool serverAvailable() { return e.serverCheckLock->syncValue([&] { return e.isServerAvailable; }); }
    std::optional<std::string> syncPath() { return e.syncPathLock->syncValue([&] { return e.currentSyncPath; }); }
    std::vector<std::string> batchQueue() { return e.batchLock->syncValue([&] { return e.batchQueue; }); }
    std::vector<std::string> retryQueue() { return e.retryLock->syncValue([&] { return e.retryQueue; }); }
    bool retryTimerRunning() { return e.retryLock->syncValue([&] { return e.retryTimerStarting || (e.retryTimer && e.retryTimer->isValid()); }); }
    std::size_t statusCacheSize() { return e.statusCacheLock->syncValue([&] { return e.statusCache.size(); }); }
    std::optional<CachedStatus> cacheEntry(const std::string& path) {
        return e.statusCacheLock->syncValue([&]() -> std::optional<CachedStatus> {
            auto found = e.statusCache.find(path);
            if (found == e.statusCache.end()) return std::nullopt;
            return found->second;
        });
    }
    std::vector<std::string> observedDirectories() {
        return e.observedDirLock->syncValue([&] {
            std::vector<std::string> paths;
            for (const auto& entry : e.observedDirectories) paths.push_back(entry.first);
            return paths;
        });
    }
    const std::shared_ptr<Timer>& reconnectTimer() const { return e.reconnectTimer; }        // main thread
    const std::shared_ptr<Timer>& cacheCleanupTimer() const { return e.cacheCleanupTimer; }  // main thread
    Semaphore& exchangeSemaphore() { return *e.semaphore; }
    void setSyncPath(const std::string& path) { e.syncPathLock->sync([&] { e.currentSyncPath = path; }); }
    void setWaitingMode(bool waiting) { e.waitingModeLock->sync([&] { e.isInWaitingMode = waiting; }); }

    // --- Operations ---
    void ensureMonitoringActive() { e.ensureMonitoringActive(); }
    void setupBadgeIdentifiers() { e.setupBadgeIdentifiers(); }
    bool pingServer() { return e.pingServer(); }
    std::optional<std::string> sendBatchStatusRequestSequential(const std::string& paths) { return e.sendBatchStatusRequestSequential(paths); }
    std::optional<std::string> getCurrentSyncPath() { return e.getCurrentSyncPath(); }
    std::optional<std::string> getCachedStatus(const std::string& path) { return e.getCachedStatus(path); }
    void setCachedStatus(const std::string& path, const std::string& badge) { e.setCachedStatus(path, badge); }
    void performCacheCleanup() { e.performCacheCleanup(); }
    void addToBatchQueue(const std::string& path) { e.addToBatchQueue(path); }
    void processBatchesFromPaths(const std::vector<std::string>& paths) { e.processBatchesFromPaths(paths); }
    void addToRetryQueue(const std::vector<std::string>& paths) { e.addToRetryQueue(paths); }
    void checkServerAvailability() { e.checkServerAvailability(); }
    void enterWaitingMode(const std::string& reason) { e.enterWaitingMode(reason); }
    void exitWaitingMode(const std::string& reason) { e.exitWaitingMode(reason); }
    void refreshCurrentDirectoryBadges() { e.refreshCurrentDirectoryBadges(); }
    void startPollingDirectory(const std::string& path) { e.startPollingDirectory(path); }
    void stopPollingDirectory(const std::string& path) { e.stopPollingDirectory(path); }

private:
    VantorixFinderSync& e;
};

}  // namespace vantorix
