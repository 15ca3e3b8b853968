// The folders GNOME Files windows show, as it publishes them on the session bus: the property OpenLocations of
// org.freedesktop.FileManager1 at /org/freedesktop/FileManager1, followed through PropertiesChanged. Nautilus
// has no location callback for extensions; this is the public record of what its windows (and tabs) show.
//
// Everything is asynchronous on the main context: the bus connection, the name watch, the first read of the
// property and the signals. `changed` gets the full set of local folders shown, as paths, each time it
// changes; the empty set when the name has no owner. Destroying the object stops every callback.
#pragma once

#include "HoldMeter.h"

#include <gio/gio.h>

#include <functional>
#include <set>
#include <string>

namespace vantorix::nautilus {

class WindowLocations {
public:
    using Changed = std::function<void(const std::set<std::string>& folders)>;

    WindowLocations(Changed changed, HoldMeter& meter);
    ~WindowLocations();
    WindowLocations(const WindowLocations&) = delete;
    WindowLocations& operator=(const WindowLocations&) = delete;

    const std::set<std::string>& folders() const { return folders_; }

private:
    static void onBus(GObject* source, GAsyncResult* result, gpointer self);
    static void onNameAppeared(GDBusConnection* connection, const gchar* name, const gchar* owner, gpointer self);
    static void onNameVanished(GDBusConnection* connection, const gchar* name, gpointer self);
    static void onPropertiesChanged(GDBusConnection* connection, const gchar* sender, const gchar* path, const gchar* interface,
                                    const gchar* signal, GVariant* parameters, gpointer self);
    static void onProperty(GObject* source, GAsyncResult* result, gpointer self);

    void unsubscribe();
    void readLocations(GVariant* locations);  // an "as" of URIs
    void update(std::set<std::string> folders);

    Changed changed_;
    HoldMeter& meter_;
    GCancellable* cancellable_;
    GDBusConnection* bus_ = nullptr;
    guint watch_ = 0;
    guint subscription_ = 0;
    std::set<std::string> folders_;
};

}  // namespace vantorix::nautilus
