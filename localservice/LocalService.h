// The reference local service's answers and its status changes.
//
// Statuses come from the status rules and, with simulated activity, from short-lived overlays: a synced file
// turns syncing for a few seconds, now and then one shows an error that clears. Every change of a status the
// service knows of (a path it was asked about, or a file the simulation touched) is handed to the notifier as
// one "VantorixStatusChanged" notification with "paths" and "sync_state".
#pragma once

#include "StatusRules.h"
#include "platform/NotificationCenter.h"

#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vantorix::localservice {

class LocalService {
public:
    using Clock = std::chrono::steady_clock;

    LocalService(StatusRules rules, bool simulate, unsigned seed, NotificationCenter* notifier);

    // The answer line to one request line (without its line feed), line feed included. It always fits the
    // client's single read of the request's kind (64, 1024 or 8192 bytes): a sync folder path or a batch answer
    // that would not is answered with an "ERROR:" line instead.
    std::string answer(const std::string& line);
    static constexpr std::string_view kTooManyPathsAnswer = "ERROR: too many paths for one answer\n";

    // Called a few times a second: re-reads the rules, moves the simulation on, and posts what changed (when
    // there is a notifier: without one, the extension finds the changes by asking again).
    void tick(Clock::time_point now);
    // Also told of every change tick() finds, path by path, with the new code (for the benchmarks' record).
    void onChange(std::function<void(const std::string& path, const std::string& code)> changed) { changed_ = std::move(changed); }

    std::string statusOf(const std::string& path) const;

    // The most paths remembered for change notifications; older ones are forgotten first.
    static constexpr std::size_t kRememberedPaths = 100000;

private:
    struct Overlay {
        std::string code;
        Clock::time_point until;
    };
    void remember(const std::string& path, const std::string& code);
    void simulate(Clock::time_point now);
    std::vector<std::string> listFiles();

    StatusRules rules_;
    bool simulate_;
    std::mt19937 random_;
    NotificationCenter* notifier_;
    std::function<void(const std::string&, const std::string&)> changed_;
    std::unordered_map<std::string, std::string> told_;  // path -> the status last answered or posted
    std::vector<std::string> toldOrder_;                 // for forgetting the oldest
    std::map<std::string, Overlay> overlays_;
    std::vector<std::string> files_;
    Clock::time_point filesListedAt_{};
};

}  // namespace vantorix::localservice
