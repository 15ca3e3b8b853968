// Counts of the requests the service has answered, for benchmarks that measure the client from outside: how many
// of each kind, how many paths the batch requests carried, and how batch requests group in bursts (a burst is a
// run of batch requests with less than kBurstGap between one and the next; a client that polls a folder sends
// one burst per polling pass).
//
// Not thread-safe: the service's single serving thread counts and writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

namespace vantorix::localservice {

class RequestStats {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kBurstGap = std::chrono::milliseconds(500);
    static constexpr std::size_t kKeptBursts = 64;  // sizes of the latest completed bursts kept

    // Counts one request line (without its line feed) received at `now`.
    void count(const std::string& line, Clock::time_point now);

    // The counts as one JSON object on one line: ping, sync_path, batch_status, batch_paths, other, bursts (the
    // number of bursts begun), completed_bursts and burst_sizes (batch requests in each of the latest completed
    // bursts, oldest first).
    std::string toJson(Clock::time_point now);

    // Rewrites `path` with toJson() when anything changed since the last write; the file is replaced whole, so a
    // reader never sees half of it. False when it cannot be written.
    bool writeIfChanged(const std::string& path, Clock::time_point now);

private:
    void closeBurstIfQuiet(Clock::time_point now);

    std::int64_t pings_ = 0;
    std::int64_t syncPaths_ = 0;
    std::int64_t batches_ = 0;
    std::int64_t batchPaths_ = 0;
    std::int64_t others_ = 0;
    std::int64_t bursts_ = 0;
    std::int64_t currentBurst_ = 0;  // batch requests in the burst under way, 0 when none
    Clock::time_point lastBatch_{};
    std::deque<std::int64_t> burstSizes_;
    bool changed_ = true;
};

}  // namespace vantorix::localservice
