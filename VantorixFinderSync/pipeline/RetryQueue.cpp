// The retry queue: paths of failed exchanges, tried again every retryInterval until their exchange succeeds;
// then they go back into the batch queue for a fresh request. The timer lives on the main thread; the passes run on
// runQueue, so the main thread never waits for the local service.
#include "../VantorixFinderSync.h"
#include "Batches.h"
#include "protocol/Wire.h"

namespace vantorix {

void VantorixFinderSync::addToRetryQueue(const std::vector<SharedPath>& paths) {
    bool start = retryLock->syncValue([&] {
        for (const auto& path : paths) {
            if (retryQueueMembers.insert(path).second) retryQueue.push_back(path);
        }
        if (retryTimer || retryTimerStarting) return false;
        retryTimerStarting = true;
        return true;
    });
    if (start) startRetryTimer();
}

void VantorixFinderSync::startRetryTimer() {
    platform.mainQueue().async([weak = weakSelf()] {
        auto self = weak.lock();
        if (!self) return;
        auto timer = self->platform.scheduleTimer(self->retryInterval, true, [weak](Timer&) {
            if (auto self = weak.lock()) self->processRetryQueue();
        });
        self->retryLock->sync([&] {
            if (self->retryTimer) self->retryTimer->invalidate();
            self->retryTimer = timer;
            self->retryTimerStarting = false;
            self->retryAttempts = 0;
        });
    });
}

// On the main thread: one pass at a time waits on runQueue; a firing while it waits adds nothing.
void VantorixFinderSync::processRetryQueue() {
    bool queue = retryLock->syncValue([&] { return !std::exchange(retryPassQueued, true); });
    if (queue) runQueue->async([self = shared_from_this()] { self->runRetryPass(); });
}

// One pass. The paths go out in exchanges of at most 50, in order: one exchange for all of them could not be
// answered within one 8192-byte read beyond 4096 paths, and would fail forever. The pass stops at the first
// failed exchange; that exchange has put its own paths back, and the paths not yet sent go back behind them, so
// the order holds.
void VantorixFinderSync::runRetryPass() {
    std::vector<SharedPath> pass = retryLock->syncValue([&] {
        retryPassQueued = false;
        retryQueueMembers.clear();
        if (!retryQueue.empty()) ++retryAttempts;
        return std::exchange(retryQueue, {});
    });
    if (pass.empty()) {
        runRetryStop();
        return;
    }
    std::vector<std::vector<SharedPath>> exchanges = cutIntoBatches(std::move(pass));
    for (std::size_t k = 0; k < exchanges.size(); ++k) {
        const auto& paths = exchanges[k];
        std::optional<std::string> answer = sendBatchStatusRequestSequential(joinPaths(paths));
        if (!answer) {
            std::vector<SharedPath> unsent;
            for (std::size_t rest = k + 1; rest < exchanges.size(); ++rest) unsent.insert(unsent.end(), exchanges[rest].begin(), exchanges[rest].end());
            addToRetryQueue(unsent);
            return;  // the timer keeps running; the next pass comes one retryInterval later
        }
        std::size_t answered = std::min(paths.size(), splitOnSeparator(*answer).size());
        addToBatchQueue(std::vector<SharedPath>(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(answered)));
    }
    runRetryStop();
}

// Stops the retry timer, unless paths arrived since the pass took the queue: they found the timer running and
// did not start one, so stopping now would strand them.
void VantorixFinderSync::runRetryStop() {
    retryLock->sync([&] {
        if (!retryQueue.empty()) return;
        if (retryTimer) retryTimer->invalidate();
        retryTimer = nullptr;
        retryAttempts = 0;
    });
}

}  // namespace vantorix
