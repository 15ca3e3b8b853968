#include "WindowLocations.h"

#include "BoundaryCall.h"

namespace vantorix::nautilus {
namespace {

constexpr const char* kName = "org.freedesktop.FileManager1";
constexpr const char* kPath = "/org/freedesktop/FileManager1";

}  // namespace

WindowLocations::WindowLocations(Changed changed, HoldMeter& meter)
    : changed_(std::move(changed)), meter_(meter), cancellable_(g_cancellable_new()) {
    g_bus_get(G_BUS_TYPE_SESSION, cancellable_, onBus, this);
}

WindowLocations::~WindowLocations() {
    g_cancellable_cancel(cancellable_);
    g_object_unref(cancellable_);
    unsubscribe();
    if (watch_ != 0) g_bus_unwatch_name(watch_);
    if (bus_ != nullptr) g_object_unref(bus_);
}

// A callback after the object's end sees the cancellation first and touches nothing.
void WindowLocations::onBus(GObject*, GAsyncResult* result, gpointer self) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    if (bus == nullptr) {
        if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            g_message("vantorix: no session bus, so no window locations to follow: %s", error->message);
        }
        g_error_free(error);
        return;
    }
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "session bus");
    locations->bus_ = bus;
    locations->watch_ = g_bus_watch_name_on_connection(bus, kName, G_BUS_NAME_WATCHER_FLAGS_NONE, onNameAppeared, onNameVanished, self, nullptr);
}

void WindowLocations::onNameAppeared(GDBusConnection* connection, const gchar*, const gchar* owner, gpointer self) {
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "file manager name");
    locations->unsubscribe();
    locations->subscription_ = g_dbus_connection_signal_subscribe(connection, owner, "org.freedesktop.DBus.Properties", "PropertiesChanged", kPath,
                                                                  kName, G_DBUS_SIGNAL_FLAGS_NONE, onPropertiesChanged, self, nullptr);
    g_dbus_connection_call(connection, owner, kPath, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", kName, "OpenLocations"),
                           G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, locations->cancellable_, onProperty, self);
}

void WindowLocations::onNameVanished(GDBusConnection*, const gchar*, gpointer self) {
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "file manager name");
    locations->unsubscribe();
    locations->update({});
}

void WindowLocations::unsubscribe() {
    if (subscription_ != 0 && bus_ != nullptr) g_dbus_connection_signal_unsubscribe(bus_, subscription_);
    subscription_ = 0;
}

void WindowLocations::onProperty(GObject* source, GAsyncResult* result, gpointer self) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
        if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            g_message("vantorix: cannot read the file manager's open locations: %s", error->message);
        }
        g_error_free(error);
        return;
    }
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "open locations");
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    locations->readLocations(value);
    g_variant_unref(value);
    g_variant_unref(reply);
}

void WindowLocations::onPropertiesChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                                          gpointer self) {
    auto* locations = static_cast<WindowLocations*>(self);
    HoldMeter::Scope hold(locations->meter_, "open locations");
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
    GVariant* changed = g_variant_get_child_value(parameters, 1);
    GVariant* value = g_variant_lookup_value(changed, "OpenLocations", G_VARIANT_TYPE("as"));
    if (value != nullptr) {
        locations->readLocations(value);
        g_variant_unref(value);
    }
    g_variant_unref(changed);
}

void WindowLocations::readLocations(GVariant* value) {
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE("as"))) return;
    std::set<std::string> folders;
    GVariantIter iter;
    const gchar* uri = nullptr;
    g_variant_iter_init(&iter, value);
    while (g_variant_iter_next(&iter, "&s", &uri)) {
        if (auto path = pathOfFileUrl(uri)) folders.insert(*path);
    }
    update(std::move(folders));
}

void WindowLocations::update(std::set<std::string> folders) {
    if (folders == folders_) return;
    folders_ = std::move(folders);
    if (changed_) changed_(folders_);
}

}  // namespace vantorix::nautilus
