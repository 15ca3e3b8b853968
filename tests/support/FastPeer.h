// A local service for benchmarks that answers at once: one thread, poll() over every connection, the answer
// written the moment the request line is complete. PING gets PONG, GET_SYNC_PATH the folder, BATCH_STATUS a "0"
// per path.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace vantorix::bench {

class FastPeer {
public:
    FastPeer(int port, std::string syncFolder);  // port 0: any free port
    ~FastPeer();
    int port() const { return port_; }
    long requests() const { return requests_.load(); }
    long batchRequests() const { return batches_.load(); }

private:
    void run();
    std::string answer(const std::string& line);
    int listener_ = -1;
    int port_ = 0;
    std::string syncFolder_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> requests_{0};
    std::atomic<long> batches_{0};
    std::thread thread_;
};

}  // namespace vantorix::bench
