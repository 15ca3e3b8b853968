// The reference local service as a child process, for the benchmarks: `vantorix-localservice --root DIR
// --stats-file FILE`, on the fixed port. Its request counts are read back from the stats file.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace vantorix::bench {

class ServiceProcess {
public:
    // Starts the program at `program` serving `root`, and waits up to `limit` for it to answer PING.
    // Throws std::runtime_error when it does not.
    ServiceProcess(const std::string& program, const std::string& root, const std::string& statsFile,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
    ~ServiceProcess();  // SIGTERM, then waits (SIGKILL after 5 s)
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    int pid() const { return pid_; }
    // The latest counts the service wrote; they are at most 0.25 s old. Waits that long first, so that what the
    // caller has just caused is in them.
    nlohmann::json stats() const;

private:
    int pid_ = -1;
    std::string statsFile_;
};

}  // namespace vantorix::bench
