// The file manager's event loop, as the bridge uses it: GLib's main context in the GTK file managers, Qt's event
// loop in Dolphin. Everything runs on the file manager's main thread and nothing here ever waits.
//
// A callback returns whether it wants to be called again. remove() of a source that already ended, or of 0,
// does nothing; an adapter removes whatever sources are left when it is destroyed, and calls no callback of a
// bus request still under way once it is gone.
#pragma once

#include "HoldMeter.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vantorix::bridge {

class EventLoop {
public:
    using SourceId = std::uint64_t;  // 0 is no source
    using Callback = std::function<bool()>;
    enum Readiness { readable = 1, writable = 2 };

    virtual ~EventLoop() = default;

    // Called when the loop has nothing more urgent to do.
    virtual SourceId idle(Callback callback) = 0;
    // Called after `milliseconds`, and every `milliseconds` while it returns true.
    virtual SourceId timeout(unsigned milliseconds, Callback callback) = 0;
    // Called while the descriptor is ready as asked (a hang-up or an error counts as readable).
    virtual SourceId watch(int fd, int readiness, Callback callback) = 0;
    virtual void remove(SourceId source) = 0;

    // Asks the session bus to start the service that owns `busName`, without waiting: `done` is called on the
    // loop with whether the bus says it runs now, and the bus's error when it does not.
    virtual void startService(const std::string& busName, std::function<void(bool runs, const std::string& error)> done) = 0;

    // One line for the file manager's log. A fault the user may need to know about (no badges, a service gone
    // wrong) is a warning; routine progress is info or debug, which the file managers keep out of their log
    // unless asked. Each loop names the module in its toolkit's way (GLib's log domain, Qt's logging category),
    // so the line carries no prefix of its own.
    enum class LogLevel { debug, info, warning };
    virtual void log(LogLevel level, const std::string& message) = 0;

    // The monotonic clock, in microseconds, that the bridge cuts its slices and measures its connections by: the
    // real one (HoldMeter's), which a loop in virtual time replaces with its own.
    virtual std::int64_t nowMicroseconds() const { return HoldMeter::nowMicroseconds(); }
};

}  // namespace vantorix::bridge
