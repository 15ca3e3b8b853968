// How long a host module holds its file manager's main thread. Every callback the module runs on the main loop
// opens a Scope, and the meter keeps, over all of them:
//   - the longest hold: the wall-clock time of the callback less the time the thread waited for a CPU while other
//     processes ran (the scheduler's run-queue delay, /proc/thread-self/schedstat), i.e. the time the module's
//     code ran or blocked the thread; with the callback it came from;
//   - the longest wall-clock time, preemption included;
//   - the longest CPU time one callback used.
// The module's budget is 20 ms per hold. A meter is used on the thread that made it.
#pragma once

#include <cstdint>
#include <string>

namespace vantorix::bridge {

class HoldMeter {
public:
    class Scope {
    public:
        Scope(HoldMeter& meter, const char* name);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        HoldMeter& meter_;
        const char* name_;
        std::int64_t start_ = 0, cpuStart_ = 0, waitStart_ = 0;
        bool outermost_;
    };

    HoldMeter();
    ~HoldMeter();
    HoldMeter(const HoldMeter&) = delete;
    HoldMeter& operator=(const HoldMeter&) = delete;

    // How long the callbacks of a dispatch may work before they yield the thread back, in microseconds.
    static constexpr std::int64_t kSliceMicroseconds = 3000;
    // The monotonic clock, in microseconds, as the meter and the slices read it.
    static std::int64_t nowMicroseconds();

    std::int64_t longestMicroseconds() const { return longest_; }
    const std::string& longestCallback() const { return longestName_; }
    std::int64_t longestWallMicroseconds() const { return longestWall_; }
    std::int64_t longestCpuMicroseconds() const { return longestCpu_; }
    std::uint64_t callbacks() const { return callbacks_; }

private:
    std::int64_t runQueueWaitMicroseconds() const;  // 0 where the kernel does not tell

    int schedstat_ = -1;
    std::int64_t longest_ = 0, longestWall_ = 0, longestCpu_ = 0;
    std::string longestName_;
    std::uint64_t callbacks_ = 0;
    int depth_ = 0;  // a callback that calls into another measured one counts once, as a whole
};

}  // namespace vantorix::bridge
