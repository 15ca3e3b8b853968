// The reference local service's listener: 127.0.0.1:27835, one request line per connection, the answer in a
// single write, then the connection is closed. One thread serves every connection with poll(), so a slow or
// idle client never holds up the others; a connection that has not sent a whole line within 10 s is closed.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace vantorix::localservice {

class ProtocolServer {
public:
    using Answer = std::function<std::string(const std::string& line)>;
    using Tick = std::function<void()>;

    // The longest request line taken; a longer one is answered with an error.
    static constexpr std::size_t kMaximumLine = 4 * 1024 * 1024;
    static constexpr std::size_t kMaximumConnections = 4000;

    // Binds the address; `error` says why when it cannot.
    bool listen(const std::string& address, int port, std::string& error);
    // Serves until `stopFd` becomes readable; calls `tick` about every `tickInterval`.
    void serve(const Answer& answer, const Tick& tick, std::chrono::milliseconds tickInterval, int stopFd);
    ~ProtocolServer();

private:
    int listener_ = -1;
};

}  // namespace vantorix::localservice
