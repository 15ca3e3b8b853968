#include "SessionBusNotificationCenter.h"

#include "BusMessages.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vantorix::posix {
namespace {

// Between two connection attempts; the wait looks for a stop request every kStopCheck.
constexpr std::chrono::seconds kReconnectWait{3};
constexpr std::chrono::milliseconds kStopCheck{100};

}  // namespace

struct SessionBusNotificationCenter::Bus {
    sd_bus* connection = nullptr;
    sd_bus_slot* match = nullptr;
    ~Bus() { close(); }
    // What was sent is flushed when the connection runs; a bus still authenticating is not waited for.
    void close() {
        if (match != nullptr) match = sd_bus_slot_unref(match);
        if (connection == nullptr) return;
        if (sd_bus_is_ready(connection) > 0) sd_bus_flush(connection);
        connection = sd_bus_close_unref(connection);
    }
};

SessionBusNotificationCenter::SessionBusNotificationCenter(LogSink log) : log_(std::move(log)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SessionBusNotificationCenter::~SessionBusNotificationCenter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    ::close(wakeFd_);
}

void SessionBusNotificationCenter::wake() {
    std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

// Called with mutex_ held.
void SessionBusNotificationCenter::startThread() {
    if (started_) return;
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

// Never waits for the bus: the subscription is made by the bus thread, in the background.
void SessionBusNotificationCenter::addObserver(const void* observer, const std::string& name, Handler handler) {
    observers_.add(observer, name, std::move(handler));
    std::lock_guard lock(mutex_);
    startThread();
}

void SessionBusNotificationCenter::removeObserver(const void* observer) { observers_.remove(observer); }

// Never waits for the bus: before the first connection attempt has settled the notification waits for it.
void SessionBusNotificationCenter::post(const std::string& name, const std::string& object, const std::optional<PropertyValue>& userInfo) {
    {
        std::lock_guard lock(mutex_);
        startThread();
        if ((settled_ && !connected_) || outgoing_.size() >= kMaximumPendingPosts) return;
        outgoing_.push_back({name, object, userInfo});
    }
    wake();
}

bool SessionBusNotificationCenter::isConnected() {
    std::unique_lock lock(mutex_);
    startThread();
    stateChanged_.wait(lock, [this] { return settled_; });
    return connected_;
}

void SessionBusNotificationCenter::run() {
    Bus bus;
    auto onSignal = [](sd_bus_message* message, void* self, sd_bus_error*) -> int {
        if (auto notification = decodeNotification(message)) static_cast<SessionBusNotificationCenter*>(self)->observers_.deliver(*notification);
        return 0;  // not ours or malformed: ignored
    };
    std::string rule = notificationMatchRule();

    // Opening connects without waiting for the bus to answer; the match is asked for asynchronously and is in
    // force once the bus has answered, so that a bus that never answers holds no one.
    auto connect = [&]() -> bool {
        bus.close();
        if (sd_bus_open_user(&bus.connection) < 0) return false;
        if (sd_bus_add_match_async(bus.connection, &bus.match, rule.c_str(), onSignal, nullptr, this) < 0) {
            bus.close();
            return false;
        }
        return true;
    };

    for (;;) {
        bool up = connect();
        {
            std::lock_guard lock(mutex_);
            connected_ = up;
            if (!up && !reportedMissing_) {
                reportedMissing_ = true;
                LogEntry entry{LogLevel::warning, "Notifications", "no D-Bus session bus; status-change notifications are off until one appears", {}};
                if (log_) log_(entry);
                else std::fprintf(stderr, "vantorix: %s\n", entry.message.c_str());
            }
            settled_ = true;
            if (!up) outgoing_.clear();
        }
        stateChanged_.notify_all();

        while (up) {
            // Send what was posted.
            std::deque<Notification> sending;
            bool stop;
            {
                std::lock_guard lock(mutex_);
                stop = stopping_;
                sending.swap(outgoing_);
            }
            for (const auto& notification : sending) {
                sd_bus_message* message = nullptr;
                int r = sd_bus_message_new_signal(bus.connection, &message, kObjectPath, kInterface, kMember);
                if (r >= 0) r = appendNotification(message, notification);
                if (r >= 0) r = sd_bus_send(bus.connection, message, nullptr);
                sd_bus_message_unref(message);
            }
            if (stop) return;  // what was posted before the end is sent; closing the connection flushes it
            // Deliver what arrived.
            int processed;
            while ((processed = sd_bus_process(bus.connection, nullptr)) > 0) {
            }
            if (processed < 0) {
                up = false;
                break;
            }
            pollfd fds[2] = {{sd_bus_get_fd(bus.connection), static_cast<short>(sd_bus_get_events(bus.connection)), 0}, {wakeFd_, POLLIN, 0}};
            // A pending bus deadline (absolute, in the bus's own microseconds) is looked at again within a second.
            std::uint64_t busDeadline = 0;
            std::optional<std::chrono::milliseconds> wait;
            if (sd_bus_get_timeout(bus.connection, &busDeadline) > 0 && busDeadline != std::numeric_limits<std::uint64_t>::max()) wait = std::chrono::seconds(1);
            ::poll(fds, 2, wait ? static_cast<int>(wait->count()) : -1);
            if (fds[1].revents & POLLIN) {
                std::uint64_t count;
                (void)!::read(wakeFd_, &count, sizeof count);
            }
        }
        {
            std::lock_guard lock(mutex_);
            connected_ = false;
            outgoing_.clear();
        }
        // Wait a few seconds before the next attempt, unless asked to stop.
        pollfd wakeOnly{wakeFd_, POLLIN, 0};
        for (std::chrono::milliseconds waited{0}; waited < kReconnectWait; waited += kStopCheck) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_) return;
            }
            if (::poll(&wakeOnly, 1, static_cast<int>(kStopCheck.count())) > 0) {
                std::uint64_t count;
                (void)!::read(wakeFd_, &count, sizeof count);
            }
        }
    }
}

}  // namespace vantorix::posix
