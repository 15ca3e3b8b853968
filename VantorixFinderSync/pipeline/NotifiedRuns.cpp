// The runs of notified paths: paths a notification asks to confirm wait here, each once, for one run on
// runQueue that asks the local service for all of them.
#include "../VantorixFinderSync.h"

namespace vantorix {

// Notified paths are coalesced: however many notifications arrive while a run is under way, each path waits
// once, and one run on runQueue asks for all that wait. Memory grows with the distinct paths, not with the
// rate of notifications, and no thread waits per notification.
void VantorixFinderSync::addNotifiedPaths(const std::vector<std::string>& paths) {
    std::vector<SharedPath> shared(paths.begin(), paths.end());  // made before the lock block, not inside it
    bool queueRun = batchLock->syncValue([&] {
        for (auto& path : shared) {
            if (notifiedMembers.insert(path).second) notifiedPaths.push_back(std::move(path));
        }
        if (notifiedPaths.empty() || notifiedRunQueued) return false;
        notifiedRunQueued = true;
        return true;
    });
    if (queueRun) runQueue->async([self = shared_from_this()] { self->runNotifiedPaths(); });
}

void VantorixFinderSync::runNotifiedPaths() {
    std::vector<SharedPath> paths = batchLock->syncValue([&] {
        notifiedRunQueued = false;
        notifiedMembers.clear();
        return std::exchange(notifiedPaths, {});
    });
    processBatchesFromPaths(paths);
}

}  // namespace vantorix
