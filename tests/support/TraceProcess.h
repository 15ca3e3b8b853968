// Runs `vantorix-finder trace` as a child process: commands go to its standard input, its JSON lines are read
// from its standard output as they come.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantorix::testing {

class TraceProcess {
public:
    // Starts the program at `program` (the stand-in) in trace mode.
    explicit TraceProcess(const std::string& program);
    ~TraceProcess();  // closes its input, waits for it (killing it if it does not end)

    int pid() const { return pid_; }
    void send(const std::string& command);
    void closeInput();
    // Waits up to `limit` for the program to exit; its exit status, or nothing.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

    // Every line so far, parsed.
    std::vector<nlohmann::json> lines();
    // Waits until `condition` holds over the lines so far, or `limit` passed; returns whether it holds.
    bool waitFor(const std::function<bool(const std::vector<nlohmann::json>&)>& condition, std::chrono::milliseconds limit);

private:
    void readOutput();
    int pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<nlohmann::json> lines_;
    std::thread reader_;
    std::optional<int> status_;
};

}  // namespace vantorix::testing
