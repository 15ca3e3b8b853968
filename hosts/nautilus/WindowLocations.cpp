#include "WindowLocations.h"

#include "protocol/FileUrl.h"
#include "protocol/HostWire.h"

namespace vantorix::nautilus {
namespace {

using bridge::HoldMeter;

constexpr const char* kInterface = "org.freedesktop.FileManager1";
constexpr const char* kPath = "/org/freedesktop/FileManager1";
constexpr const char* kProperty = "OpenWindowsWithLocations";
// Until Nautilus has exported its record: tried again this often, this many times (ten seconds).
constexpr guint kReadAgainMs = 250;
constexpr unsigned kReadsBeforeGivingUp = 40;

// Whether an asynchronous call ended because the object that made it is gone; then nothing may be touched.
bool cancelled(GError* error) { return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED); }

}  // namespace

WindowLocations::WindowLocations(Changed changed, bridge::HoldMeter& meter)
    : changed_(std::move(changed)), meter_(meter), cancellable_(g_cancellable_new()) {
    GApplication* application = g_application_get_default();
    if (application != nullptr && g_application_get_dbus_object_path(application) != nullptr &&
        g_signal_lookup("window-removed", G_OBJECT_TYPE(application)) != 0) {
        // Not a strong reference: GNOME Files ends its modules (nautilus_module_shutdown) only once its
        // application is finalized, which a reference held here would prevent.
        g_weak_ref_init(&application_, application);
        windowsPath_ = std::string(g_application_get_dbus_object_path(application)) + "/window";
        windowRemoved_ = g_signal_connect(application, "window-removed", G_CALLBACK(onWindowRemoved), this);
    }
    g_bus_get(G_BUS_TYPE_SESSION, cancellable_, onBus, this);
}

WindowLocations::~WindowLocations() {
    g_cancellable_cancel(cancellable_);
    g_clear_object(&cancellable_);
    if (windowRemoved_ != 0) {
        g_autoptr(GObject) application = G_OBJECT(g_weak_ref_get(&application_));
        if (application != nullptr) g_signal_handler_disconnect(application, windowRemoved_);
        g_weak_ref_clear(&application_);
    }
    g_clear_handle_id(&readAgain_, g_source_remove);
    if (subscription_ != 0) g_dbus_connection_signal_unsubscribe(bus_, subscription_);
    g_clear_object(&bus_);
}

void WindowLocations::onBus(GObject*, GAsyncResult* result, gpointer self) {
    g_autoptr(GError) error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);  // kept: bus_ owns it from here
    if (bus == nullptr) {
        if (!cancelled(error)) g_warning("no session bus, so no window locations to follow: %s", error->message);
        return;
    }
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "session bus");
    locations->bus_ = bus;
    // This process's own record: its signals and its property, from its own unique name.
    const gchar* ownName = g_dbus_connection_get_unique_name(bus);
    locations->subscription_ = g_dbus_connection_signal_subscribe(bus, ownName, "org.freedesktop.DBus.Properties", "PropertiesChanged", kPath,
                                                                  kInterface, G_DBUS_SIGNAL_FLAGS_NONE, onPropertiesChanged, self, nullptr);
    locations->read();
}

void WindowLocations::read() {
    ++reads_;
    g_dbus_connection_call(bus_, g_dbus_connection_get_unique_name(bus_), kPath, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kInterface, kProperty), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
                           onProperty, this);
}

gboolean WindowLocations::onReadAgain(gpointer self) {
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "window locations");
    locations->readAgain_ = 0;
    locations->read();
    return G_SOURCE_REMOVE;
}

void WindowLocations::onProperty(GObject* source, GAsyncResult* result, gpointer self) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
        if (!cancelled(error)) {
            // Not exported yet (GNOME Files is starting), or not a GNOME Files process at all.
            auto* locations = static_cast<WindowLocations*>(self);
            if (locations->reads_ < kReadsBeforeGivingUp) {
                locations->readAgain_ = g_timeout_add(kReadAgainMs, onReadAgain, self);
            } else {
                g_warning("cannot read this GNOME Files' windows: %s", error->message);
            }
        }
        return;
    }
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "window locations");
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(reply, "(v)", &value);
    locations->readWindows(value);
}

void WindowLocations::onPropertiesChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                                          gpointer self) {
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "window locations");
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
    g_autoptr(GVariant) changed = g_variant_get_child_value(parameters, 1);
    g_autoptr(GVariant) value = g_variant_lookup_value(changed, kProperty, G_VARIANT_TYPE("a{sas}"));
    if (value != nullptr) locations->readWindows(value);
}

// A fresh record of every window: windows closed before it are no longer in it.
void WindowLocations::readWindows(GVariant* value) {
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE("a{sas}"))) return;
    windows_.clear();
    closed_.clear();
    GVariantIter iter;
    const gchar* window = nullptr;
    g_variant_iter_init(&iter, value);
    for (GVariantIter* next = nullptr; g_variant_iter_next(&iter, "{&sas}", &window, &next);) {
        g_autoptr(GVariantIter) uris = next;
        auto& folders = windows_[window];
        const gchar* uri = nullptr;
        while (g_variant_iter_next(uris, "&s", &uri)) {
            if (auto path = pathOfFileUrl(uri)) folders.push_back(*path);
        }
    }
    publish();
}

void WindowLocations::onWindowRemoved(GObject*, GObject*, gpointer self) {
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "window removed");
    if (locations->bus_ == nullptr) return;
    g_dbus_connection_call(locations->bus_, g_dbus_connection_get_unique_name(locations->bus_), locations->windowsPath_.c_str(),
                           "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, -1,
                           locations->cancellable_, onWindowNodes, self);
}

// The windows that still exist are the children of the application's window folder.
void WindowLocations::onWindowNodes(GObject* source, GAsyncResult* result, gpointer self) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
        if (!cancelled(error)) g_warning("cannot read which windows are left: %s", error->message);
        return;
    }
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "window removed");
    const gchar* xml = nullptr;
    g_variant_get(reply, "(&s)", &xml);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml, nullptr);
    std::set<std::string> alive;
    for (GDBusNodeInfo** child = node != nullptr ? node->nodes : nullptr; child != nullptr && *child != nullptr; ++child) {
        if ((*child)->path != nullptr) alive.insert(locations->windowsPath_ + "/" + (*child)->path);
    }
    for (const auto& entry : locations->windows_) {
        if (alive.count(entry.first) == 0) locations->closed_.insert(entry.first);
    }
    locations->publish();
}

void WindowLocations::publish() {
    std::set<std::string> folders;
    for (const auto& [window, paths] : windows_) {
        if (closed_.count(window) == 0) folders.insert(paths.begin(), paths.end());
    }
    if (folders == folders_) return;
    folders_ = std::move(folders);
    if (changed_) changed_(folders_);
}

}  // namespace vantorix::nautilus
