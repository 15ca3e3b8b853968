// Server monitoring: a main-thread timer has a background queue ping the local service every serverCheckInterval,
// or every waitingModeCheckInterval when the first timer is made in waiting mode, and the check acts only on a
// change of availability. The first timer adapts its interval once to the mode it finds; every later timer keeps
// its interval.
#include "../VantorixFinderSync.h"

namespace vantorix {

void VantorixFinderSync::startServerMonitoring() {
    platform.globalQueue(QualityOfService::utility).async([self = shared_from_this()] {
        self->platform.mainQueue().async([self] {
            if (self->reconnectTimer) self->reconnectTimer->invalidate();
            bool waiting = self->waitingModeLock->syncValue([&] { return self->isInWaitingMode; });
            Duration interval = waiting ? self->waitingModeCheckInterval : self->serverCheckInterval;
            std::weak_ptr<VantorixFinderSync> weak = self;
            // The adapting action: check, then switch the interval once if the mode now calls for the other one.
            self->reconnectTimer = self->platform.scheduleTimer(interval, true, [weak](Timer& firing) {
                auto self = weak.lock();
                if (!self) return;
                // The firing timer is kept alive by the main run loop until it is invalidated, and is only
                // compared and invalidated on the main thread; the background block keeps a strong hold on it.
                std::shared_ptr<Timer> current = self->reconnectTimer;
                Duration firingInterval = firing.timeInterval();
                self->platform.globalQueue(QualityOfService::userInitiated).async([self, current, firingInterval] {
                    self->checkServerAvailability();
                    bool waiting = self->waitingModeLock->syncValue([&] { return self->isInWaitingMode; });
                    Duration fitting = waiting ? self->waitingModeCheckInterval : self->serverCheckInterval;
                    if (fitting == firingInterval) return;
                    self->platform.mainQueue().async([self, current, fitting] {
                        // Two overlapping checks of the first timer may both ask for the switch; only the first
                        // makes it, or a second plain timer would run beside the first for ever.
                        if (self->reconnectTimer != current) return;
                        if (current) current->invalidate();
                        std::weak_ptr<VantorixFinderSync> weak = self;
                        // The plain action: check, never compare intervals again.
                        self->reconnectTimer = self->platform.scheduleTimer(fitting, true, [weak](Timer&) {
                            auto self = weak.lock();
                            if (!self) return;
                            self->platform.globalQueue(QualityOfService::userInitiated).async([self] { self->checkServerAvailability(); });
                        });
                    });
                });
            });
        });
    });
}

void VantorixFinderSync::checkServerAvailability() {
    bool before = serverCheckLock->syncValue([&] { return isServerAvailable; });
    bool now = pingServer();
    serverCheckLock->sync([&] {
        isServerAvailable = now;
        lastServerCheck = platform.now();
    });
    bool waiting = waitingModeLock->syncValue([&] { return isInWaitingMode; });
    if (!before && now) {
        logger(LogLevel::info, "Supervision", "the local service answered a check after being unavailable", {{"reason", "server_reconnected"}});
        if (waiting) exitWaitingMode("socket_reconnected_from_monitoring");
        invalidateCache(std::nullopt, "server_reconnected");
        updateSyncPath();
        platform.mainQueue().asyncAfter(repaintAfterReconnection, [self = shared_from_this()] { self->refreshCurrentDirectoryBadges(); });
    } else if (before && !now && !waiting) {
        enterWaitingMode("socket_disconnected_from_monitoring");
    }
}

}  // namespace vantorix
