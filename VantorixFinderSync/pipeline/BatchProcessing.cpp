// A run sends its batches one after another, pairs each answer's codes with the batch's paths by position, and
// applies all results of the run in one main-thread pass that sets only new or changed badges.
#include "../VantorixFinderSync.h"
#include "Batches.h"
#include "protocol/Wire.h"

namespace vantorix {

void VantorixFinderSync::processBatchesFromPaths(const std::vector<SharedPath>& paths) {
    if (paths.empty()) return;
    processSequentialBatches(cutIntoBatches(paths), platform.monotonicNow());
}

void VantorixFinderSync::processSequentialBatches(const std::vector<std::vector<SharedPath>>& batches, MonotonicTime /*startTime*/) {
    std::vector<BatchResult> results;
    for (const auto& batch : batches) {
        // A path the request line cannot carry is never sent: it would shift every later path's answer onto
        // the wrong file, or break the request line.
        std::vector<SharedPath> sendable;
        sendable.reserve(batch.size());
        for (const auto& path : batch) {
            if (path.carriable()) sendable.push_back(path);
        }
        if (sendable.empty() && !batch.empty()) continue;
        std::optional<std::string> answer = sendBatchStatusRequestSequential(joinPaths(sendable));
        if (!answer) continue;  // its paths are in the retry queue now
        for (auto& result : pairAnswer(std::move(sendable), *answer)) results.push_back(std::move(result));
    }
    platform.mainQueue().async([self = shared_from_this(), results = std::move(results)] { self->updateAllIconsFromResults(results); });
}

// Each pair is looked up and stored in the cache in turn, all in one block on the cache's lock (a result list can
// hold thousands); the file manager is then told the new and changed badges, in list order.
void VantorixFinderSync::updateAllIconsFromResults(const std::vector<BatchResult>& results) {
    std::vector<std::pair<std::string, const SharedPath*>> changed;
    statusCacheLock->sync([&] {
        WallTime now = platform.now();
        for (const auto& result : results) {
            std::string badge = mapStatusToBadge(result.status);
            if (recordCachedStatus(result.path, badge, now)) changed.emplace_back(badge, &result.path);
        }
    });
    FinderSyncController& controller = platform.finderSyncController();
    // Built from the path itself, so that the URL names exactly this item whatever its name holds.
    for (const auto& [badge, path] : changed) controller.setBadgeIdentifier(badge, URL::fileURL(path->str()));
}

}  // namespace vantorix
