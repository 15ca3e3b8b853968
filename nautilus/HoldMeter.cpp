#include "HoldMeter.h"

#include <glib.h>

namespace vantorix::nautilus {

HoldMeter::Scope::Scope(HoldMeter& meter, const char* name)
    : meter_(meter), name_(name), start_(g_get_monotonic_time()), outermost_(meter.depth_++ == 0) {}

HoldMeter::Scope::~Scope() {
    --meter_.depth_;
    if (!outermost_) return;
    std::int64_t held = g_get_monotonic_time() - start_;
    ++meter_.callbacks_;
    if (held > meter_.longest_) {
        meter_.longest_ = held;
        meter_.longestName_ = name_;
    }
}

}  // namespace vantorix::nautilus
