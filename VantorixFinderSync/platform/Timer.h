// Timers of the main run loop.
//
// A timer is scheduled on the main run loop, fires on the main thread, and is invalidated there by its owner.
// A repeating timer fires every interval after it was scheduled (a firing delayed by a busy main thread does not
// shift the later ones; missed firings are skipped, not run in a burst); a one-shot timer fires once and is then
// no longer valid. invalidate() is final and may be called any number of times, also from inside the action.
#pragma once

#include "Time.h"

#include <functional>
#include <memory>

namespace vantorix {

class Timer {
public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
    virtual Duration timeInterval() const = 0;
};

// The action receives the firing timer, so that an action can compare or invalidate its own timer.
using TimerAction = std::function<void(Timer&)>;

}  // namespace vantorix
