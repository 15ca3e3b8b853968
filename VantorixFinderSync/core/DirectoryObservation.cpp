// The file manager opens and closes directories of the observed set. Opening drops what the cache believes
// about the directory, restarts its polling and re-reads the sync folder; closing stops the polling.
#include "../VantorixFinderSync.h"

namespace vantorix {

void VantorixFinderSync::beginObservingDirectory(const URL& url) {
    const std::string path = url.path();
    invalidateCacheWithPrefix(path);
    startPollingDirectory(path);
    // One after another: requestQueue is serial, so sync-folder updates of several openings never overlap.
    requestQueue->async([self = shared_from_this()] { self->updateSyncPath(); });
}

void VantorixFinderSync::endObservingDirectory(const URL& url) { stopPollingDirectory(url.path()); }

}  // namespace vantorix
