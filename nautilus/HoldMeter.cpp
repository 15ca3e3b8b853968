#include "HoldMeter.h"

#include <glib.h>
#include <time.h>

namespace vantorix::nautilus {
namespace {

std::int64_t threadCpuMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

HoldMeter::Scope::Scope(HoldMeter& meter, const char* name) : meter_(meter), name_(name), outermost_(meter.depth_++ == 0) {
    if (!outermost_) return;
    start_ = g_get_monotonic_time();
    cpuStart_ = threadCpuMicroseconds();
}

HoldMeter::Scope::~Scope() {
    --meter_.depth_;
    if (!outermost_) return;
    std::int64_t held = g_get_monotonic_time() - start_;
    std::int64_t worked = threadCpuMicroseconds() - cpuStart_;
    ++meter_.callbacks_;
    if (held > meter_.longest_) {
        meter_.longest_ = held;
        meter_.longestName_ = name_;
    }
    if (worked > meter_.longestCpu_) meter_.longestCpu_ = worked;
}

}  // namespace vantorix::nautilus
