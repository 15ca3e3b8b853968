// A notification center whose notifications reach the observers of this process only. post() delivers on the
// posting thread, to the handlers subscribed at that moment, in subscription order.
#pragma once

#include "NotificationCenter.h"
#include "ObserverList.h"

namespace vantorix {

class InProcessNotificationCenter final : public NotificationCenter {
public:
    void addObserver(const void* observer, const std::string& name, Handler handler) override { observers_.add(observer, name, std::move(handler)); }
    void removeObserver(const void* observer) override { observers_.remove(observer); }
    void post(const std::string& name, const std::string& object, const std::optional<PropertyValue>& userInfo) override {
        observers_.deliver(Notification{name, object, userInfo});
    }
    // How many subscriptions `observer` holds.
    std::size_t subscriptionCount(const void* observer) const { return observers_.countFor(observer); }

private:
    ObserverList observers_;
};

}  // namespace vantorix
