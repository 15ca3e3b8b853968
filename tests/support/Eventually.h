// Waiting in real time for what other threads or processes bring about: the condition is asked every `step`
// until it holds or `limit` has passed; whether it holds then.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vantorix::testing {

inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit, std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    for (auto end = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(step)) {
        if (condition()) return true;  // asked once per step: a condition may reap a process or take a line
        if (std::chrono::steady_clock::now() >= end) return false;
    }
}

}  // namespace vantorix::testing
