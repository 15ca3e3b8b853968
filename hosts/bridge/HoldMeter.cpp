#include "HoldMeter.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace vantorix::bridge {
namespace {

std::int64_t threadCpuMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

std::int64_t HoldMeter::nowMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

HoldMeter::HoldMeter() : schedstat_(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {}

HoldMeter::~HoldMeter() {
    if (schedstat_ >= 0) ::close(schedstat_);
}

// The second field of schedstat: nanoseconds spent runnable but waiting for a CPU.
std::int64_t HoldMeter::runQueueWaitMicroseconds() const {
    char text[96];
    ssize_t got = schedstat_ >= 0 ? ::pread(schedstat_, text, sizeof text - 1, 0) : -1;
    if (got <= 0) return 0;
    text[got] = '\0';
    char* field = nullptr;
    std::strtoll(text, &field, 10);
    return std::strtoll(field, nullptr, 10) / 1000;
}

HoldMeter::Scope::Scope(HoldMeter& meter, const char* name) : meter_(meter), name_(name), outermost_(meter.depth_++ == 0) {
    if (!outermost_) return;
    waitStart_ = meter.runQueueWaitMicroseconds();
    cpuStart_ = threadCpuMicroseconds();
    start_ = nowMicroseconds();
}

HoldMeter::Scope::~Scope() {
    --meter_.depth_;
    if (!outermost_) return;
    std::int64_t wall = nowMicroseconds() - start_;
    std::int64_t worked = threadCpuMicroseconds() - cpuStart_;
    std::int64_t held = wall - (meter_.runQueueWaitMicroseconds() - waitStart_);
    ++meter_.callbacks_;
    if (held > meter_.longest_) {
        meter_.longest_ = held;
        meter_.longestName_ = name_;
    }
    if (wall > meter_.longestWall_) meter_.longestWall_ = wall;
    if (worked > meter_.longestCpu_) meter_.longestCpu_ = worked;
}

}  // namespace vantorix::bridge
