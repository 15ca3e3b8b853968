// Time values of the platform seam.
//
// Durations are std::chrono values passed by value. Two kinds of time point exist and are never mixed:
// MonotonicTime for deadlines and delays (it never jumps, and on the simulated platform it is virtual), and
// WallTime for values that are defined as time stamps (the status cache's entries).
#pragma once

#include <chrono>

namespace vantorix {

using Duration = std::chrono::nanoseconds;

// The clock tag of MonotonicTime; its epoch is the platform's (process start on the real platform, zero on
// the simulated one). It has no now(): time is always asked of a Platform.
struct MonotonicClock {
    using duration = Duration;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonotonicClock, Duration>;
    static constexpr bool is_steady = true;
};

using MonotonicTime = MonotonicClock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// Converts seconds given as a double (the unit in which the extension's intervals are stated) into a Duration,
// rounding to the nearest nanosecond.
constexpr Duration seconds(double value) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(value) + std::chrono::duration<double, std::nano>(0.5));
}

// A duration as seconds in a double.
constexpr double toSeconds(Duration value) {
    return std::chrono::duration<double>(value).count();
}

}  // namespace vantorix
