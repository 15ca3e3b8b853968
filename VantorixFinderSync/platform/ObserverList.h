// The subscriptions of a notification center: who observes which name, and the handlers a notification
// reaches. Thread-safe; handlers are handed out as copies so that they run outside the list's lock (a handler may
// subscribe, unsubscribe or post).
#pragma once

#include "NotificationCenter.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace vantorix {

class ObserverList {
public:
    void add(const void* observer, const std::string& name, NotificationCenter::Handler handler) {
        std::lock_guard lock(mutex_);
        subscriptions_.push_back({observer, name, std::move(handler)});
    }

    void remove(const void* observer) {
        std::lock_guard lock(mutex_);
        std::erase_if(subscriptions_, [observer](const Subscription& s) { return s.observer == observer; });
    }

    std::size_t countFor(const void* observer) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(subscriptions_.begin(), subscriptions_.end(), [observer](const Subscription& s) { return s.observer == observer; }));
    }

    // Runs, on the calling thread, every handler subscribed to the notification's name at this moment, in
    // subscription order.
    void deliver(const Notification& notification) const {
        std::vector<NotificationCenter::Handler> handlers;
        {
            std::lock_guard lock(mutex_);
            for (const auto& subscription : subscriptions_) {
                if (subscription.name == notification.name) handlers.push_back(subscription.handler);
            }
        }
        for (const auto& handler : handlers) handler(notification);
    }

private:
    struct Subscription {
        const void* observer;
        std::string name;
        NotificationCenter::Handler handler;
    };
    mutable std::mutex mutex_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vantorix
