// The distributed notification center of the real platform, on the D-Bus session bus.
//
// A notification is the signal Notification, signature "ssa{sv}" (name, sender object, user-info), on object
// path /com/vantorix/DistributedNotificationCenter, interface com.vantorix.DistributedNotificationCenter.
//
// One thread owns the bus connection: it is created, used and closed there only (an sd-bus connection is not
// for several threads). That thread subscribes with a match rule on interface and member, waits with poll() on
// the bus and an eventfd, delivers each notification to its observers, and sends what post() hands it. If the
// bus goes away, it reconnects every few seconds. Without a session bus, observing and posting do nothing and a
// single log entry says so; everything else works.
#pragma once

#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/ObserverList.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantorix::posix {

class SessionBusNotificationCenter final : public NotificationCenter {
public:
    using LogSink = std::function<void(const LogEntry&)>;
    // `log` receives what a person needs to know about the bus (none: a line on standard error).
    explicit SessionBusNotificationCenter(LogSink log = nullptr);
    ~SessionBusNotificationCenter() override;  // stops the thread and closes the connection

    // Return at once: the subscription is made in the background, and is in force once the bus has answered.
    void addObserver(const void* observer, const std::string& name, Handler handler) override;
    void removeObserver(const void* observer) override;
    // Hands the notification to the bus thread and returns; never waits for the bus.
    void post(const std::string& name, const std::string& object, const std::optional<PropertyValue>& userInfo) override;

    // Whether the bus thread is connected now, waiting for its first connection attempt to settle.
    bool isConnected();

    static constexpr const char* kObjectPath = "/com/vantorix/DistributedNotificationCenter";
    static constexpr const char* kInterface = "com.vantorix.DistributedNotificationCenter";
    static constexpr const char* kMember = "Notification";

    // The most notifications waiting to be sent; more are dropped (a flood must not grow memory without end).
    static constexpr std::size_t kMaximumPendingPosts = 10000;

private:
    struct Bus;  // the thread's connection state

    void startThread();
    void run();
    void wake();

    const LogSink log_;
    std::mutex mutex_;
    std::condition_variable stateChanged_;
    ObserverList observers_;
    std::deque<Notification> outgoing_;
    bool started_ = false;
    bool settled_ = false;    // the first connection attempt has ended, one way or the other
    bool connected_ = false;
    bool stopping_ = false;
    bool reportedMissing_ = false;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace vantorix::posix
