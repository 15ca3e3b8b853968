// Which folders a GTK 3 file manager's windows show, for the hosts that offer a location-widget provider (Nemo,
// Caja): the file manager asks the provider for a widget for every location a window (or tab) shows, and destroys
// that widget when the window leaves the location or closes. Each widget handed out is an empty, invisible one;
// the live widgets are the folders shown. The file manager shows a frame above the view for the widgets; when
// ours are all it holds, the frame is hidden again, so that nothing of ours is seen.
//
// Main thread only. `changed` gets the full set of local folders shown, as paths, each time it changes.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <map>
#include <set>
#include <string>

namespace vantorix::gtk {

class LocationWidgets {
public:
    using Changed = std::function<void(const std::set<std::string>& folders)>;

    explicit LocationWidgets(Changed changed) : changed_(std::move(changed)) {}
    ~LocationWidgets();  // stops following the widgets still alive
    LocationWidgets(const LocationWidgets&) = delete;
    LocationWidgets& operator=(const LocationWidgets&) = delete;

    // get_widget: the widget standing for the location `uri` in one window.
    GtkWidget* widgetFor(const char* uri);

private:
    static void onDestroyed(GtkWidget* widget, gpointer self);
    static void onParentSet(GtkWidget* widget, GtkWidget* previous, gpointer self);
    static gboolean hideEmptyFrame(gpointer widget);
    void publish();

    Changed changed_;
    std::map<GtkWidget*, std::string> widgets_;  // live widgets -> the local folder each stands for
    std::set<std::string> folders_;
};

}  // namespace vantorix::gtk
