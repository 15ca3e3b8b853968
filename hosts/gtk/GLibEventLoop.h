// The bridge's event loop in the GTK file managers (GNOME Files, Nemo, Caja): GLib's default main context, and
// GIO's session bus connection for asking the bus to start the service. Sources left at destruction are removed;
// a bus request still under way is cancelled and its answer ignored.
#pragma once

#include "EventLoop.h"

#include <gio/gio.h>

#include <unordered_set>

namespace vantorix::gtk {

class GLibEventLoop final : public bridge::EventLoop {
public:
    GLibEventLoop();
    ~GLibEventLoop() override;
    GLibEventLoop(const GLibEventLoop&) = delete;
    GLibEventLoop& operator=(const GLibEventLoop&) = delete;

    SourceId idle(Callback callback) override;
    SourceId timeout(unsigned milliseconds, Callback callback) override;
    SourceId watch(int fd, int readiness, Callback callback) override;
    void remove(SourceId source) override;
    void startService(const std::string& busName, std::function<void(bool, const std::string&)> done) override;
    void log(LogLevel level, const std::string& message) override;

private:
    struct Held;
    SourceId keep(guint id, Held* held);

    std::unordered_set<guint> sources_;
    GCancellable* cancellable_;
};

}  // namespace vantorix::gtk
