// The file manager's badge request: never answered on the calling thread. The item's badge is either removed
// at once (waiting mode, no sync folder yet, the sync folder itself, an item outside it, a path the request
// line cannot carry) or its path goes to the batch queue, whose answer sets the badge later.
#include "../VantorixFinderSync.h"
#include "protocol/Wire.h"
#include "protocol/Paths.h"

namespace vantorix {

void VantorixFinderSync::requestBadgeIdentifier(const URL& url) {
    const std::string path = url.path();
    auto removeBadge = [this, &url] {
        platform.mainQueue().async([&platform = platform, url] { platform.finderSyncController().setBadgeIdentifier("", url); });
    };

    bool waiting = waitingModeLock->syncValue([&] { return isInWaitingMode; });
    if (waiting) {
        removeBadge();
        return;
    }
    // The lazy restart, kept from the design: monitoringKnownActive is true from construction on, so a request
    // never submits it (and a repaint asking for thousands of badges costs no submission each).
    if (!monitoringKnownActive.load(std::memory_order_relaxed)) {
        platform.globalQueue(QualityOfService::userInitiated).async([weak = weakSelf()] {
            if (auto self = weak.lock()) self->ensureMonitoringActive();
        });
    }

    std::optional<std::string> syncPath = syncPathLock->syncValue([&] { return currentSyncPath; });
    // Plain, case-sensitive string tests: the path is not resolved or compared with the disk.
    if (!syncPath || !isInsideFolder(path, *syncPath) || !canCarryPath(path)) {
        removeBadge();
        return;
    }
    addToBatchQueue(path);
}

}  // namespace vantorix
