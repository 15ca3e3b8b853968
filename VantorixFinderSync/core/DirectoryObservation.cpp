// The file manager opens and closes directories of the observed set. Opening drops what the cache believes
// about the directory, restarts its polling and re-reads the sync folder; closing stops the polling.
#include "../VantorixFinderSync.h"

namespace vantorix {

void VantorixFinderSync::beginObservingDirectory(const URL& url) {
    const std::string path = url.path();
    // A plain prefix test without a slash: siblings whose names merely start with the directory's name lose
    // their entries too.
    statusCacheLock->sync([&] {
        for (auto it = statusCache.begin(); it != statusCache.end();) {
            it = it->first.compare(0, path.size(), path) == 0 ? eraseCacheEntry(it) : std::next(it);
        }
    });
    startPollingDirectory(path);
    // One after another: requestQueue is serial, so sync-folder updates of several openings never overlap.
    requestQueue->async([self = shared_from_this()] { self->updateSyncPath(); });
}

void VantorixFinderSync::endObservingDirectory(const URL& url) { stopPollingDirectory(url.path()); }

}  // namespace vantorix
