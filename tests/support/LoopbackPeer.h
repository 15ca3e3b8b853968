// A scripted TCP peer on the loopback interface for real-platform tests: it accepts connections on its own
// thread, reads one request line per connection and answers as its handler says, in the terms of the simulated
// local service (pieces due after delays counted from the request, then a close or silence).
#pragma once

#include "platforms/simulation/SimulatedNetwork.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantorix::testing {

// A listening socket on 127.0.0.1:port (0: any free port), with SO_REUSEADDR; `boundPort` gets the port.
// Throws std::system_error naming `who` when the port cannot be bound.
int listenOnLoopback(int port, bool nonBlocking, int& boundPort, const char* who);

using PeerAnswer = simulation::Reply;

class LoopbackPeer {
public:
    using Handler = std::function<PeerAnswer(const std::string& requestLine)>;

    // Listens on 127.0.0.1:port (0: any free port); throws if the port cannot be bound.
    explicit LoopbackPeer(Handler handler, int port = 0);
    ~LoopbackPeer();  // stops accepting and closes every connection

    int port() const { return port_; }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // From now on, connections are accepted but never read: the client's writes fill the socket buffer.
    void stopReading() { neverReads_ = true; }

private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> neverReads_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<int> openFds_;
    std::vector<std::thread> servers_;
    std::thread acceptor_;
};

}  // namespace vantorix::testing
