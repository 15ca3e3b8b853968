// Sync folder tracking: the local service names the sync folder; every successful query declares it as the one
// observed directory and restarts its polling, and a new or changed path empties the cache.
#include "../VantorixFinderSync.h"
#include "protocol/Wire.h"

namespace vantorix {

void VantorixFinderSync::updateSyncPath() {
    if (waitingModeLock->syncValue([&] { return isInWaitingMode; })) return;
    std::optional<std::string> path = getCurrentSyncPath();
    if (!path) return;
    std::optional<std::string> old = syncPathLock->syncValue([&] { return std::exchange(currentSyncPath, path); });
    // The folder's URL is built from the path itself, so that it names exactly that folder.
    std::set<URL> folder{URL::fileURL(*path)};
    platform.mainQueue().async([self = shared_from_this(), folder] { self->platform.finderSyncController().setDirectoryURLs(folder); });
    platform.mainQueue().async([self = shared_from_this(), path = *path] { self->startPollingDirectory(path); });
    if (old != path) {
        logger(LogLevel::info, "Supervision", old ? "sync folder changed" : "sync folder learned", {{"path", *path}, {"previous", old.value_or("")}});
        invalidateCache(std::nullopt, "sync_path_updated_or_reconnected");
    }
}

// The loop runs on requestQueue, beside the updates of directory openings, so that a query against a stalled
// service holds no one but the loop; what an update learns reaches the main thread as submitted blocks.
void VantorixFinderSync::startSyncPathRetryLoop() {
    requestQueue->asyncAfter(syncPathFirstDelay, [self = shared_from_this()] { self->retryGetSyncPath(); });
}

// One iteration; the next comes a period after this one has returned, so iterations never overlap.
void VantorixFinderSync::retryGetSyncPath() {
    std::optional<std::string> before = syncPathLock->syncValue([&] { return currentSyncPath; });
    updateSyncPath();
    Duration delay = before ? syncPathCheckInterval : syncPathUnknownInterval;
    requestQueue->asyncAfter(delay, [self = shared_from_this()] { self->retryGetSyncPath(); });
}

}  // namespace vantorix
