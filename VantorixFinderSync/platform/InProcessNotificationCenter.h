// A notification center whose notifications reach the observers of this process only. post() delivers on the
// posting thread, to the handlers subscribed at that moment, in subscription order.
#pragma once

#include "NotificationCenter.h"

#include <mutex>
#include <vector>

namespace vantorix {

class InProcessNotificationCenter final : public NotificationCenter {
public:
    void addObserver(const void* observer, const std::string& name, Handler handler) override;
    void removeObserver(const void* observer) override;
    void post(const std::string& name, const std::string& object, const std::optional<PropertyValue>& userInfo) override;
    // How many subscriptions `observer` holds.
    std::size_t subscriptionCount(const void* observer);

private:
    struct Subscription {
        const void* observer;
        std::string name;
        Handler handler;
    };
    std::mutex mutex_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vantorix
