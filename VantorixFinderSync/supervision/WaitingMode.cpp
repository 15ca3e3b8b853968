// Waiting mode: while the local service cannot be reached, badges are removed, the batch queue holds its paths
// and no status, sync-folder or polling request goes out. Entry and exit are idempotent: only the call that
// changes the mode has effects.
#include "../VantorixFinderSync.h"

namespace vantorix {

void VantorixFinderSync::enterWaitingMode(const std::string& reason, const std::string& cause) {
    bool wasWaiting = waitingModeLock->syncValue([&] { return std::exchange(isInWaitingMode, true); });
    if (wasWaiting) return;
    std::vector<LogField> fields{{"reason", reason}};
    if (!cause.empty()) fields.push_back({"cause", cause});
    logger(LogLevel::notice, "Supervision", "waiting mode entered: badges removed until the local service answers again", std::move(fields));
    invalidateCache(std::nullopt, "entering_waiting_mode");
    // waitingModeLock is released before batchLock is taken: the permitted order is the other way round.
    dropBatchQueue();
    platform.mainQueue().asyncAfter(repaintAfterEntering, [self = shared_from_this()] { self->refreshCurrentDirectoryBadges(); });
    serverCheckLock->sync([&] { isServerAvailable = false; });
}

void VantorixFinderSync::exitWaitingMode(const std::string& reason) {
    bool wasWaiting = waitingModeLock->syncValue([&] { return std::exchange(isInWaitingMode, false); });
    if (!wasWaiting) return;
    logger(LogLevel::notice, "Supervision", "waiting mode left: the local service answers again", {{"reason", reason}});
    invalidateCache(std::nullopt, "exiting_waiting_mode");
    // Paths held through waiting mode go out now, not whenever a new path happens to arrive.
    batchLock->sync([&] { ensureFlushScheduled(); });
    serverCheckLock->sync([&] { isServerAvailable = true; });
    platform.mainQueue().asyncAfter(repaintAfterLeaving, [self = shared_from_this()] { self->refreshCurrentDirectoryBadges(); });
}

}  // namespace vantorix
