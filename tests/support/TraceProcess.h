// Runs `vantorix-finder trace` as a child process: commands go to its standard input, its JSON lines are read
// from its standard output as they come.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantorix::testing {

class TraceProcess {
public:
    using Lines = std::vector<nlohmann::json>;
    // Called on the reading thread with each line as it arrives and the moment it was read.
    using LineHandler = std::function<void(const nlohmann::json& line, std::chrono::steady_clock::time_point readAt)>;

    // Starts the program at `program` (the stand-in) in trace mode, or with `arguments` (such as trace --join).
    // With a handler, each line goes to it and is not kept (lines() stays empty), so a long run costs the reader
    // no memory.
    explicit TraceProcess(const std::string& program, LineHandler handler = nullptr, std::vector<std::string> arguments = {"trace"});
    ~TraceProcess();  // closes its input, waits for it (killing it if it does not end)

    void send(const std::string& command);
    int pid() const { return pid_; }
    void closeInput();
    // Waits up to `limit` for the program to exit; its exit status, or nothing.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

    // Every line so far, parsed.
    Lines lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Waits until `condition` holds over the lines so far, or `limit` passed; returns whether it holds. The
    // condition runs under the lines' lock, and again every 20 ms, so that it may also look at other state.
    bool waitFor(const std::function<bool(const Lines&)>& condition, std::chrono::milliseconds limit);
    // The badge the lines gave each item last ("" for none), by path.
    static std::map<std::string, std::string> badgesIn(const Lines& lines);

private:
    void readOutput();
    LineHandler handler_;
    int pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::mutex mutex_;
    std::condition_variable arrived_;
    Lines lines_;
    std::thread reader_;
    std::optional<int> status_;
};

}  // namespace vantorix::testing
