// The local service's status-change notifications: the paths they name are asked for afresh, and states they
// carry are shown at once, before the confirming request.
#include "../VantorixFinderSync.h"
#include "NotificationPayload.h"

namespace vantorix {

void VantorixFinderSync::registerDistributedNotificationObservers() {
    NotificationCenter& center = platform.distributedNotificationCenter();
    std::weak_ptr<VantorixFinderSync> weak = weakSelf();
    center.addObserver(this, kStatusChangedNotification, [weak](const Notification& n) {
        if (auto self = weak.lock()) self->handleStatusChangeNotification(n);
    });
    center.addObserver(this, kSharedStatusChangedNotification, [weak](const Notification& n) {
        if (auto self = weak.lock()) self->handleSharedStatusNotification(n);
    });
    center.addObserver(this, kReadonlyStatusChangedNotification, [weak](const Notification& n) {
        if (auto self = weak.lock()) self->handleReadonlyStatusNotification(n);
    });
}

namespace {

std::optional<StatusChangePayload> acceptedPayload(const Logger& logger, const Notification& notification, bool readSyncState) {
    std::string whyIgnored;
    auto payload = parseStatusChangePayload(notification, readSyncState, &whyIgnored);
    if (!payload) logger(LogLevel::info, "Notifications", "notification ignored", {{"name", notification.name}, {"why", whyIgnored}});
    return payload;
}

}  // namespace

void VantorixFinderSync::handleSharedStatusNotification(const Notification& notification) {
    auto payload = acceptedPayload(logger, notification, false);
    if (!payload) return;
    platform.globalQueue(QualityOfService::userInitiated).async([self = shared_from_this(), paths = std::move(payload->paths)] {
        self->addNotifiedPaths(paths);
    });
}

void VantorixFinderSync::handleReadonlyStatusNotification(const Notification& notification) { handleSharedStatusNotification(notification); }

void VantorixFinderSync::handleStatusChangeNotification(const Notification& notification) {
    auto payload = acceptedPayload(logger, notification, true);
    if (!payload) return;
    platform.globalQueue(QualityOfService::userInitiated).async([self = shared_from_this(), payload = std::move(*payload)] {
        if (!payload.syncState) {
            self->addNotifiedPaths(payload.paths);
            return;
        }
        // The direct update: cached here, shown on the main thread one entry after another, then confirmed.
        // The confirming request is queued from the main queue, behind the badge submissions, so that it can
        // never overtake the badge it confirms.
        std::vector<std::string> applied;
        applied.reserve(payload.syncState->size());
        for (const auto& entry : *payload.syncState) {
            std::string badge = self->mapStatusToBadge(entry.state);
            self->setCachedStatus(entry.path, badge);
            self->platform.mainQueue().async([self, badge, url = URL::fileURL(entry.path)] {
                self->platform.finderSyncController().setBadgeIdentifier(badge, url);
            });
            applied.push_back(entry.path);
        }
        self->platform.mainQueue().async([self, applied = std::move(applied)] { self->addNotifiedPaths(applied); });
    });
}

}  // namespace vantorix
