// A host module's connection to the session service, $XDG_RUNTIME_DIR/vantorix/finder.sock (protocol/
// HostWire.h, protocol/HostSocket.h). Everything runs on the file manager's event loop and never waits:
//   - connecting is a non-blocking connect to a UNIX socket. When no service runs (no socket, or a dead
//     service's), the session bus is asked to start one, asynchronously, and the connection is tried again once
//     the bus answers; nothing is ever started as a child of the file manager;
//   - the service's first line is its hello: a service of another protocol is logged as such (the file manager
//     must be restarted to load the module that matches) and shows no badges; nothing is shown before the hello;
//   - commands wait in a queue until the socket takes them; lines are handed over in slices of at most
//     HoldMeter::kSliceMicroseconds from an idle callback, so a burst of ten thousand lines never holds the
//     thread; reading pauses while too many lines wait;
//   - when the connection ends (the service exits, is killed, or the folder is not safe), the lines read before
//     are still delivered, a partial last line is dropped, `ended` is called, and connecting starts again: at
//     once after a connection that lasted, then after a back-off that doubles (0.25 s up to 30 s).
#pragma once

#include "EventLoop.h"
#include "HoldMeter.h"
#include "LineBuffer.h"
#include "protocol/HostWire.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vantorix::bridge {

class ServiceLink {
public:
    struct Handlers {
        std::function<void()> joined;                  // the service said hello and takes commands
        std::function<void(const std::string&)> line;  // one line after the hello, without its line feed
        std::function<void()> ended;                   // the joined connection is gone; no more lines from it
    };

    // `runtimeDirectory` is XDG_RUNTIME_DIR ("" when unset: the module then shows no badges, and says so);
    // `host` names the file manager in what is logged.
    ServiceLink(EventLoop& loop, std::string runtimeDirectory, std::string host, Handlers handlers, HoldMeter& meter);
    ~ServiceLink();  // closes the connection and removes every source it added
    ServiceLink(const ServiceLink&) = delete;
    ServiceLink& operator=(const ServiceLink&) = delete;

    // Connects from the event loop (not from the caller's stack).
    void start();
    // Queues one command. Dropped while not joined: `joined` is where the caller tells the service what it needs
    // to know.
    void send(host::CommandKind command, std::string_view argument = {});

    bool isJoined() const { return joined_; }
    int servicePid() const { return servicePid_; }
    unsigned connections() const { return connections_; }
    std::uint64_t droppedLines() const { return lines_.droppedLines(); }

private:
    void attempt();
    void adopt(int fd);
    void retryIn(std::chrono::milliseconds delay);
    void retryAfterBackoff();
    void warnOnce(const std::string& message);
    bool readAvailable();  // false once reading should pause or stop
    bool pump();
    void flush();
    void takeHello(const std::string& line);
    void closeConnection(const std::string& why);

    EventLoop& loop_;
    const std::string runtime_;
    const std::string host_;
    Handlers handlers_;
    HoldMeter& meter_;
    int fd_ = -1;
    bool joined_ = false;
    bool outputEnded_ = false;
    std::string queued_;
    LineBuffer lines_;
    EventLoop::SourceId readSource_ = 0, writeSource_ = 0, pumpSource_ = 0, retrySource_ = 0, helloSource_ = 0;
    bool askingBus_ = false;
    std::int64_t joinedAt_ = 0;
    std::chrono::milliseconds backoff_;
    unsigned connections_ = 0;
    int servicePid_ = 0;
    std::string lastLogged_;  // failures are logged when they change, not at every retry
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // the bus's answer after the link is gone is ignored
};

}  // namespace vantorix::bridge
