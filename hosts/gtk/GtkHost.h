// What the modules of the GTK file managers (GNOME Files, Nemo, Caja) share: their interfaces differ only in
// names, so each module hands over the three calls of its file-info interface and keeps one GtkHost, which owns
// the event loop, the items held and the bridge. A module adds its entry points and its way of following the
// folders its windows show (GtkHost::bridge().setShownFolders).
#pragma once

#include "GLibEventLoop.h"
#include "HostBridge.h"
#include "ShownItems.h"

#include <gio/gio.h>

#include <string>

namespace vantorix::gtk {

// The file manager's file-info interface, as plain calls on the item (a GObject implementing it).
struct FileInfoCalls {
    GFile* (*location)(GObject* item);                   // a new reference, or nullptr
    void (*addEmblem)(GObject* item, const char* name);  // the icon name of an emblem
    void (*invalidate)(GObject* item);                   // the file manager asks about the item again
};

class GtkHost {
public:
    // `name` is the file manager's, for the logs, the trace and the counters; `legacyStats` an older variable
    // naming the counters file.
    GtkHost(std::string name, FileInfoCalls calls, const char* legacyStats = nullptr);
    GtkHost(const GtkHost&) = delete;
    GtkHost& operator=(const GtkHost&) = delete;

    // update_file_info: adds the emblem of the badge known now, at once. Nothing escapes into the file manager.
    void updateFileInfo(GObject* item) noexcept;
    bridge::HostBridge& bridge() { return bridge_; }

private:
    FileInfoCalls calls_;
    GLibEventLoop loop_;
    ShownItems items_;
    bridge::HostBridge bridge_;  // last: made after, and gone before, what it uses
};

}  // namespace vantorix::gtk
