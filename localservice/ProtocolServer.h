// The reference local service's listener: 127.0.0.1:27835, one request line per connection, the answer in a
// single write, then the connection is closed. One thread serves every connection with poll(), so a slow or
// idle client never holds up the others; a connection that has not sent a whole line within 10 s is closed.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantorix::localservice {

// Ways the server misbehaves on purpose, so that a soak can show the extension riding them out: connections
// refused (the listener closed), requests read and never answered, answered with garbage, answered 2 to 5 s late,
// or closed without an answer. A connection keeps the fault it was accepted under; when the fault ends, the
// connections still misbehaving are closed.
enum class Fault { none, refuse, stall, garbage, late, closeEarly };
// "none", "refuse", "stall", "garbage", "late" or "close"; nothing for any other word.
std::optional<Fault> faultNamed(std::string_view word);

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
    // Takes effect for connections accepted from now on; may be called from `tick`.
    void setFault(Fault fault) { fault_ = fault; }
    ~ProtocolServer();

private:
    bool openListener(std::string& error);

    std::string address_;
    int port_ = 0;
    int listener_ = -1;
    Fault fault_ = Fault::none;
};

}  // namespace vantorix::localservice
