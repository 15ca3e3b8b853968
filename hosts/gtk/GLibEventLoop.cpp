#include "GLibEventLoop.h"

#include <glib-unix.h>

#include <memory>
#include <vector>

namespace vantorix::gtk {

struct GLibEventLoop::Held {
    GLibEventLoop* loop;
    guint id;
    Callback callback;

    static gboolean dispatch(gpointer data) { return static_cast<Held*>(data)->callback() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE; }
    static gboolean dispatchFd(gint, GIOCondition, gpointer data) { return dispatch(data); }
    static void destroy(gpointer data) {
        auto* held = static_cast<Held*>(data);
        held->loop->sources_.erase(held->id);
        delete held;
    }
};

GLibEventLoop::GLibEventLoop() : cancellable_(g_cancellable_new()) {}

GLibEventLoop::~GLibEventLoop() {
    g_cancellable_cancel(cancellable_);
    g_clear_object(&cancellable_);
    std::vector<guint> left(sources_.begin(), sources_.end());
    for (guint id : left) g_source_remove(id);
}

GLibEventLoop::SourceId GLibEventLoop::keep(guint id, Held* held) {
    held->id = id;
    sources_.insert(id);
    return id;
}

GLibEventLoop::SourceId GLibEventLoop::idle(Callback callback) {
    auto* held = new Held{this, 0, std::move(callback)};
    return keep(g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, Held::dispatch, held, Held::destroy), held);
}

GLibEventLoop::SourceId GLibEventLoop::timeout(unsigned milliseconds, Callback callback) {
    auto* held = new Held{this, 0, std::move(callback)};
    return keep(g_timeout_add_full(G_PRIORITY_DEFAULT, milliseconds, Held::dispatch, held, Held::destroy), held);
}

GLibEventLoop::SourceId GLibEventLoop::watch(int fd, int readiness, Callback callback) {
    int condition = 0;
    if (readiness & readable) condition |= G_IO_IN | G_IO_HUP | G_IO_ERR;
    if (readiness & writable) condition |= G_IO_OUT | G_IO_ERR;
    auto* held = new Held{this, 0, std::move(callback)};
    return keep(g_unix_fd_add_full(G_PRIORITY_DEFAULT, fd, static_cast<GIOCondition>(condition), Held::dispatchFd, held, Held::destroy), held);
}

void GLibEventLoop::remove(SourceId source) {
    if (source != 0 && sources_.count(static_cast<guint>(source)) > 0) g_source_remove(static_cast<guint>(source));
}

namespace {

struct StartRequest {
    std::string name;
    std::function<void(bool, const std::string&)> done;
    GCancellable* cancellable;  // a reference of its own: the request may outlive the loop
    ~StartRequest() { g_object_unref(cancellable); }
};

bool cancelled(GError* error) { return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED); }

void onStarted(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<StartRequest> request(static_cast<StartRequest*>(data));
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (cancelled(error)) return;
    request->done(reply != nullptr, error != nullptr ? error->message : "");
}

void onBus(GObject*, GAsyncResult* result, gpointer data) {
    auto* request = static_cast<StartRequest*>(data);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) bus = g_bus_get_finish(result, &error);
    if (bus == nullptr) {
        std::unique_ptr<StartRequest> owned(request);
        if (!cancelled(error)) owned->done(false, std::string("no session bus: ") + error->message);
        return;
    }
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "StartServiceByName",
                           g_variant_new("(su)", request->name.c_str(), 0u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1,
                           request->cancellable, onStarted, request);
}

}  // namespace

void GLibEventLoop::startService(const std::string& busName, std::function<void(bool, const std::string&)> done) {
    auto* request = new StartRequest{busName, std::move(done), G_CANCELLABLE(g_object_ref(cancellable_))};
    g_bus_get(G_BUS_TYPE_SESSION, cancellable_, onBus, request);
}

// Under the module's log domain (G_LOG_DOMAIN): warnings reach the file manager's log; info and debug lines only
// when G_MESSAGES_DEBUG names the domain.
void GLibEventLoop::log(LogLevel level, const std::string& message) {
    switch (level) {
    case LogLevel::debug: g_debug("%s", message.c_str()); break;
    case LogLevel::info: g_info("%s", message.c_str()); break;
    case LogLevel::warning: g_warning("%s", message.c_str()); break;
    }
}

}  // namespace vantorix::gtk
