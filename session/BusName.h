// The service's name on the session bus, com.vantorix.FinderSync: the bus starts the service when a host asks
// for that name (its service file names `vantorix-finder serve`), and the name appears once the socket
// listens, so that a host connects when its request is answered. The connection is processed on the host
// server's thread. Without a session bus the service runs all the same; it just cannot be started on demand.
#pragma once

#include "HostServer.h"

#include <string>

struct sd_bus;

namespace vantorix::session {

class BusName final : public HostServer::Source {
public:
    BusName() = default;
    ~BusName() override;
    BusName(const BusName&) = delete;
    BusName& operator=(const BusName&) = delete;

    // Connects and asks for the name; false with `error` saying why (no bus, or the name is taken).
    bool own(const char* name, std::string& error);

    int fd() override;
    short events() override;
    std::optional<std::chrono::milliseconds> timeout() override;
    void process() override;

private:
    sd_bus* bus_ = nullptr;
};

}  // namespace vantorix::session
