#include "LocationWidgets.h"

namespace vantorix::gtk {
namespace {

constexpr const char* kOurs = "vantorix-location";

bool isOurs(GtkWidget* widget) { return g_object_get_data(G_OBJECT(widget), kOurs) != nullptr; }

}  // namespace

LocationWidgets::~LocationWidgets() {
    for (const auto& [widget, folder] : widgets_) {
        g_signal_handlers_disconnect_by_data(widget, this);
        g_object_set_data(G_OBJECT(widget), kOurs, nullptr);
    }
}

GtkWidget* LocationWidgets::widgetFor(const char* uri) {
    g_autoptr(GFile) location = g_file_new_for_uri(uri);
    g_autofree gchar* path = g_file_get_path(location);
    if (path == nullptr) return nullptr;  // not a local folder: nothing of ours in its window
    GtkWidget* widget = gtk_label_new(nullptr);
    gtk_widget_set_no_show_all(widget, TRUE);
    g_object_set_data(G_OBJECT(widget), kOurs, GINT_TO_POINTER(1));
    g_signal_connect(widget, "destroy", G_CALLBACK(onDestroyed), this);
    g_signal_connect(widget, "parent-set", G_CALLBACK(onParentSet), this);
    widgets_[widget] = path;
    publish();
    return widget;
}

void LocationWidgets::onDestroyed(GtkWidget* widget, gpointer self) {
    auto* widgets = static_cast<LocationWidgets*>(self);
    if (widgets->widgets_.erase(widget) > 0) widgets->publish();
}

// Packed into the file manager's box of location widgets: once the file manager has shown that box's frame, it is
// hidden again if nothing but ours is in it. Only a frame that holds the box alone is touched.
void LocationWidgets::onParentSet(GtkWidget* widget, GtkWidget*, gpointer) {
    if (gtk_widget_get_parent(widget) == nullptr) return;
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, hideEmptyFrame, g_object_ref(widget), g_object_unref);
}

gboolean LocationWidgets::hideEmptyFrame(gpointer data) {
    GtkWidget* widget = GTK_WIDGET(data);
    GtkWidget* box = gtk_widget_get_parent(widget);
    GtkWidget* frame = box != nullptr ? gtk_widget_get_parent(box) : nullptr;
    if (!GTK_IS_BOX(box) || !GTK_IS_BIN(frame) || gtk_bin_get_child(GTK_BIN(frame)) != box || GTK_IS_WINDOW(frame)) return G_SOURCE_REMOVE;
    g_autoptr(GList) children = gtk_container_get_children(GTK_CONTAINER(box));
    for (GList* child = children; child != nullptr; child = child->next) {
        if (!isOurs(GTK_WIDGET(child->data)) && gtk_widget_get_visible(GTK_WIDGET(child->data))) return G_SOURCE_REMOVE;
    }
    gtk_widget_hide(frame);
    return G_SOURCE_REMOVE;
}

void LocationWidgets::publish() {
    std::set<std::string> folders;
    for (const auto& [widget, folder] : widgets_) folders.insert(folder);
    if (folders == folders_) return;
    folders_ = std::move(folders);
    if (changed_) changed_(folders_);
}

}  // namespace vantorix::gtk
