// The distributed notification center of the seam: notifications any process of the same user can post and
// observe. A notification has a name, a sender object (a string; observers here accept any sender) and an
// optional user-info tree, which a well-formed sender makes a dictionary.
#pragma once

#include "PropertyValue.h"

#include <functional>
#include <optional>
#include <string>

namespace vantorix {

struct Notification {
    std::string name;
    std::string object;
    std::optional<PropertyValue> userInfo;
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    virtual ~NotificationCenter() = default;
    // Subscribes `handler` to notifications named `name` from any sender, on behalf of `observer` (an opaque
    // key used only by removeObserver). Returns once the subscription is in force: nothing posted after the
    // return is missed. Handlers run on a thread of the center's choosing.
    virtual void addObserver(const void* observer, const std::string& name, Handler handler) = 0;
    // Ends every subscription made for `observer`: no notification posted after it returns reaches its handlers.
    virtual void removeObserver(const void* observer) = 0;
    virtual void post(const std::string& name, const std::string& object, const std::optional<PropertyValue>& userInfo) = 0;
};

}  // namespace vantorix
