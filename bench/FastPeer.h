// A local service for benchmarks that answers at once: one thread, poll() over every connection, the answer
// written the moment the request line is complete. PING gets PONG, GET_SYNC_PATH the folder, BATCH_STATUS a "0"
// per path.
//
// It can also play a slow or stalled service: every batch answer can be held back by a fixed delay, and an
// outage can be started for a while, during which no request of any kind is answered.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

namespace vantorix::bench {

class FastPeer {
public:
    FastPeer(int port, std::string syncFolder);  // port 0: any free port
    ~FastPeer();
    int port() const { return port_; }
    long requests() const { return requests_.load(); }
    long batchRequests() const { return batches_.load(); }

    // From now on, each BATCH_STATUS answer is written `delay` after its request line came. Any thread.
    void setBatchDelay(std::chrono::milliseconds delay) { batchDelayMs_ = delay.count(); }
    // For `length` from now, nothing is answered: each connection whose request line comes meanwhile is closed
    // unanswered `hold` after the line came (0: at once, so the client fails fast), or when the outage ends if
    // that is sooner. Any thread.
    void startOutage(std::chrono::milliseconds length, std::chrono::milliseconds hold);
    bool inOutage() const;
    // The distinct paths of the batch requests left unanswered by outages so far.
    std::size_t unansweredPaths() const;

private:
    using Clock = std::chrono::steady_clock;
    void run();
    std::string answer(const std::string& line);
    int listener_ = -1;
    int port_ = 0;
    std::string syncFolder_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> requests_{0};
    std::atomic<long> batches_{0};
    std::atomic<long> batchDelayMs_{0};
    std::atomic<Clock::rep> outageEnd_{0};  // steady clock ticks; 0 when no outage was started
    std::atomic<long> holdMs_{0};
    mutable std::mutex mutex_;
    std::unordered_set<std::string> unanswered_;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace vantorix::bench
