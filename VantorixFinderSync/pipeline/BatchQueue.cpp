// The batch queue: paths wait here, each once, until a flush sends them in batches of kBatchSize: at once when
// batchConfig.maxSize are queued, otherwise batchConfig.timeout after the first path following a flush. In
// waiting mode a flush holds the paths.
// A flush hands its batches to one run on runQueue; a path of a run that has not ended is not queued again.
#include "../VantorixFinderSync.h"
#include "Batches.h"
#include "protocol/Wire.h"

namespace vantorix {

void VantorixFinderSync::addToBatchQueue(const std::string& path) { addToBatchQueue(std::vector<SharedPath>{path}); }

// The queue and the set of paths under way share each path's text. Paths added together flush together: a
// polled folder's few hundred go to one run, cut into its batches, rather than to a run per batch, so that a pass
// costs a hop between threads per few hundred paths, not per batch.
void VantorixFinderSync::addToBatchQueue(std::vector<SharedPath> paths) {
    batchLock->sync([&] {
        for (auto& path : paths) {
            // Queued already, it goes out with the next flush; in a run, its answer is on its way.
            if (pathsUnderWay.insert(path).second) batchQueue.push_back(std::move(path));
        }
        if (static_cast<std::int64_t>(batchQueue.size()) >= batchConfig.maxSize) processBatchQueue();
        // Also after duplicates only: paths held through waiting mode must never wait without a flush on its way.
        ensureFlushScheduled();
    });
}

// Runs on batchLock: one timer creation on its way, not one per addition.
void VantorixFinderSync::ensureFlushScheduled() {
    if (batchQueue.empty() || batchTimer || batchTimerPending) return;
    batchTimerPending = true;
    scheduleFlushTimer();
}

// Runs on batchLock. The timer is made on the main thread and stored under batchLock. When it fires, a flush
// runs in the background; whatever that flush does, the fired timer is cleared, so that the next addition
// schedules a new one.
void VantorixFinderSync::scheduleFlushTimer() {
    platform.mainQueue().async([self = shared_from_this()] {
        self->batchLock->sync([&] {
            // A flush or the entry into waiting mode since the request has withdrawn it; or another request made it.
            if (!self->batchTimerPending || self->batchTimer) return;
            self->batchTimerPending = false;
            // The timer holds the object weakly (the object holds the timer); the flush it starts holds it strongly.
            self->batchTimer = self->platform.scheduleTimer(self->batchConfig.timeout, false, [weak = self->weakSelf()](Timer&) {
                auto self = weak.lock();
                if (!self) return;
                self->platform.globalQueue(QualityOfService::userInitiated).async([self] {
                    self->batchLock->sync([&] {
                        if (!self->batchQueue.empty()) self->processBatchQueue();
                        // A one-shot timer is no longer valid once it has fired; kept, it would only block new ones.
                        if (self->batchTimer && !self->batchTimer->isValid()) self->batchTimer = nullptr;
                    });
                });
            });
        });
    });
}

// Takes batchLock itself, then leaves the timer to the main thread; it never takes waitingModeLock.
void VantorixFinderSync::dropBatchQueue() {
    batchLock->sync([&] {
        // Dropped: neither sent nor retried.
        for (const auto& path : batchQueue) pathsUnderWay.erase(path);
        batchQueue.clear();
        batchTimerPending = false;
    });
    // The timer is withdrawn on the main thread. Paths queued since (waiting mode may have ended meanwhile, and an
    // addition that found this timer scheduled none of its own) get a flush of their own.
    platform.mainQueue().async([self = shared_from_this()] {
        self->batchLock->sync([&] {
            if (self->batchTimer) self->batchTimer->invalidate();
            self->batchTimer = nullptr;
            self->ensureFlushScheduled();
        });
    });
}

// Runs on batchLock (taken by the caller); takes waitingModeLock inside it, which is the permitted order.
void VantorixFinderSync::processBatchQueue() {
    if (batchQueue.empty()) return;
    bool waiting = waitingModeLock->syncValue([&] { return isInWaitingMode; });
    if (waiting) return;
    std::vector<SharedPath> paths = std::move(batchQueue);  // under way still, in the run
    batchQueue.clear();
    if (batchTimer) {
        batchTimer->invalidate();
        batchTimer = nullptr;
    }
    batchTimerPending = false;
    runQueue->async([self = shared_from_this(), batches = cutIntoBatches(std::move(paths))] {
        self->processSequentialBatches(batches, self->platform.monotonicNow());
        self->batchLock->sync([&] {
            for (const auto& batch : batches) {
                for (const auto& path : batch) self->pathsUnderWay.erase(path);
            }
        });
    });
}

}  // namespace vantorix
