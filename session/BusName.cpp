#include "BusName.h"

#include <systemd/sd-bus.h>

#include <algorithm>

#include <cstring>
#include <ctime>

namespace vantorix::session {

BusName::~BusName() {
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

bool BusName::own(const char* name, std::string& error) {
    int result = sd_bus_open_user(&bus_);
    if (result < 0) {
        bus_ = nullptr;
        error = std::string("no session bus: ") + std::strerror(-result);
        return false;
    }
    result = sd_bus_request_name(bus_, name, 0);
    if (result < 0) {
        error = std::string("the bus name ") + name + " is not ours: " + std::strerror(-result);
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
        return false;
    }
    return true;
}

int BusName::fd() { return bus_ != nullptr ? sd_bus_get_fd(bus_) : -1; }

short BusName::events() {
    int events = bus_ != nullptr ? sd_bus_get_events(bus_) : 0;
    return static_cast<short>(events > 0 ? events : 0);
}

// The bus states its deadline on CLOCK_MONOTONIC, in microseconds; the wait is rounded up and at most a minute.
std::optional<std::chrono::milliseconds> BusName::timeout() {
    std::uint64_t busDeadline = 0;
    if (bus_ == nullptr || sd_bus_get_timeout(bus_, &busDeadline) <= 0 || busDeadline == UINT64_MAX) return std::nullopt;
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    auto now = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::seconds(clock.tv_sec) + std::chrono::nanoseconds(clock.tv_nsec));
    auto until = std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(busDeadline));
    if (until <= now) return std::chrono::milliseconds::zero();
    return std::min(std::chrono::duration_cast<std::chrono::milliseconds>(until - now) + std::chrono::milliseconds(1), std::chrono::milliseconds(std::chrono::minutes(1)));
}

// Messages to the service (the name's own signals) are read and dropped; a bus that went away is let go.
void BusName::process() {
    if (bus_ == nullptr) return;
    int result;
    while ((result = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (result < 0) {
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
}

}  // namespace vantorix::session
