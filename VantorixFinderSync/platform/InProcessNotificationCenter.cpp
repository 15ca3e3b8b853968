#include "InProcessNotificationCenter.h"

#include <algorithm>

namespace vantorix {

void InProcessNotificationCenter::addObserver(const void* observer, const std::string& name, Handler handler) {
    std::lock_guard lock(mutex_);
    subscriptions_.push_back({observer, name, std::move(handler)});
}

void InProcessNotificationCenter::removeObserver(const void* observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(subscriptions_, [observer](const Subscription& s) { return s.observer == observer; });
}

std::size_t InProcessNotificationCenter::subscriptionCount(const void* observer) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(subscriptions_.begin(), subscriptions_.end(), [observer](const Subscription& s) { return s.observer == observer; }));
}

void InProcessNotificationCenter::post(const std::string& name, const std::string& object, const std::optional<PropertyValue>& userInfo) {
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& subscription : subscriptions_) {
            if (subscription.name == name) handlers.push_back(subscription.handler);
        }
    }
    // Handlers run outside the lock, so that a handler may post or unsubscribe.
    Notification notification{name, object, userInfo};
    for (const auto& handler : handlers) handler(notification);
}

}  // namespace vantorix
