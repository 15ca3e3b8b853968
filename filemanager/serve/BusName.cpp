#include "BusName.h"

#include <systemd/sd-bus.h>

#include <algorithm>

#include <cstring>
#include <ctime>

namespace vantorix::finder {

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

int BusName::timeoutMs() {
    std::uint64_t until = 0;
    if (bus_ == nullptr || sd_bus_get_timeout(bus_, &until) <= 0 || until == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    return until <= nowUs ? 0 : static_cast<int>(std::min<std::uint64_t>((until - nowUs) / 1000 + 1, 60000));
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

}  // namespace vantorix::finder
