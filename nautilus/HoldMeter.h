// How long the module holds GNOME Files' main thread. Every callback the module runs on the main context opens a
// Scope; the meter keeps the longest hold (wall-clock time, what GNOME Files waits, preemption included) with the
// callback it came from, and the longest CPU time a callback used (the module's own work), so a test or a
// person can check the module never holds the thread for long (its budget: 20 ms).
#pragma once

#include <cstdint>
#include <string>

namespace vantorix::nautilus {

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
        std::int64_t start_ = 0, cpuStart_ = 0;
        bool outermost_;
    };

    // How long the callbacks of a dispatch may work before they yield the thread back, in microseconds.
    static constexpr std::int64_t kSliceMicroseconds = 3000;

    std::int64_t longestMicroseconds() const { return longest_; }
    const std::string& longestCallback() const { return longestName_; }
    std::int64_t longestCpuMicroseconds() const { return longestCpu_; }
    std::uint64_t callbacks() const { return callbacks_; }

private:
    std::int64_t longest_ = 0, longestCpu_ = 0;
    std::string longestName_;
    std::uint64_t callbacks_ = 0;
    int depth_ = 0;  // a callback that calls into another measured one counts once, as a whole
};

}  // namespace vantorix::nautilus
