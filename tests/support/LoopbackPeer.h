// A scripted TCP peer on the loopback interface for real-platform tests: it accepts connections on its own
// thread, reads one request line per connection and answers as its handler says.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantorix::testing {

// A listening socket on 127.0.0.1:port (0: any free port), with SO_REUSEADDR; `boundPort` gets the port.
// Aborts with `who` in the message when the port cannot be bound.
int listenOnLoopback(int port, bool nonBlocking, int& boundPort, const char* who);

struct PeerAnswer {
    std::vector<std::pair<std::chrono::milliseconds, std::string>> pieces;  // delay before each piece, then its bytes
    bool close = true;  // close after the last piece; false keeps the connection open and silent

    static PeerAnswer text(std::string bytes) { return PeerAnswer{{{std::chrono::milliseconds(0), std::move(bytes)}}, true}; }
    static PeerAnswer silence() { return PeerAnswer{{}, false}; }
};

class LoopbackPeer {
public:
    using Handler = std::function<PeerAnswer(const std::string& requestLine)>;

    // Listens on 127.0.0.1:port (0: any free port). Aborts the test if the port cannot be bound.
    explicit LoopbackPeer(Handler handler, int port = 0);
    ~LoopbackPeer();  // stops accepting and closes every connection

    int port() const { return port_; }
    std::vector<std::string> requests() const;
    int connections() const { return connections_.load(); }
    // From now on, connections are accepted but never read: the client's writes fill the socket buffer.
    void stopReading() { neverReads_ = true; }

private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> neverReads_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<int> openFds_;
    std::vector<std::thread> servers_;
    std::thread acceptor_;
};

}  // namespace vantorix::testing
