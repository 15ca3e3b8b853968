// The folders this GNOME Files process's windows show, as it publishes them on the session bus: the property
// OpenWindowsWithLocations (window object path -> the locations of its tabs) of the interface
// org.freedesktop.FileManager1 at /org/freedesktop/FileManager1, followed through PropertiesChanged. Nautilus has
// no location callback for extensions; this is the public record of what its windows show.
//
// The record is read from this process's own bus connection, never from whoever owns the name
// org.freedesktop.FileManager1: Nemo, Caja and Dolphin implement that name too, and the one that owns it may be
// another file manager. Nautilus exports the object shortly after it starts, so the first read is tried again
// until it is there. Nautilus 43 does not update the record when a window closes, so when the application
// removes a window, the windows that still exist are read from the bus (the children of
// <application path>/window) and the closed ones left out.
//
// Everything is asynchronous on the main context. `changed` gets the full set of local folders shown, as paths,
// each time it changes. Destroying the object stops every callback.
#pragma once

#include "HoldMeter.h"

#include <gio/gio.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vantorix::nautilus {

class WindowLocations {
public:
    using Changed = std::function<void(const std::set<std::string>& folders)>;

    WindowLocations(Changed changed, bridge::HoldMeter& meter);
    ~WindowLocations();
    WindowLocations(const WindowLocations&) = delete;
    WindowLocations& operator=(const WindowLocations&) = delete;

private:
    static void onBus(GObject* source, GAsyncResult* result, gpointer self);
    static void onPropertiesChanged(GDBusConnection* connection, const gchar* sender, const gchar* path, const gchar* interface,
                                    const gchar* signal, GVariant* parameters, gpointer self);
    static void onProperty(GObject* source, GAsyncResult* result, gpointer self);
    static gboolean onReadAgain(gpointer self);
    static void onWindowRemoved(GObject* application, GObject* window, gpointer self);
    static void onWindowNodes(GObject* source, GAsyncResult* result, gpointer self);

    void read();
    void readWindows(GVariant* windows);  // an "a{sas}" of window paths and location URIs
    void publish();

    Changed changed_;
    bridge::HoldMeter& meter_;
    GCancellable* cancellable_;
    GDBusConnection* bus_ = nullptr;
    guint subscription_ = 0;
    guint readAgain_ = 0;
    unsigned reads_ = 0;
    GWeakRef application_{};  // the process's application, when it has one (windowRemoved_ != 0)
    gulong windowRemoved_ = 0;
    std::string windowsPath_;  // where the application exports its windows
    std::map<std::string, std::vector<std::string>> windows_;  // window path -> its folders, as last published
    std::set<std::string> closed_;  // windows gone since
    std::set<std::string> folders_;
};

}  // namespace vantorix::nautilus
