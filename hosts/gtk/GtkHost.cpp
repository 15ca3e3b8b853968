#include "GtkHost.h"

#include <exception>

namespace vantorix::gtk {

GtkHost::GtkHost(std::string name, FileInfoCalls calls, const char* legacyStats)
    : calls_(calls), items_(calls.invalidate), bridge_(loop_, items_, bridge::BridgeSettings::fromEnvironment(std::move(name), legacyStats)) {}

void GtkHost::updateFileInfo(GObject* item) noexcept {
    try {
        bridge::HoldMeter::Scope hold(bridge_.meter(), "update_file_info");
        g_autoptr(GFile) location = calls_.location(item);
        g_autofree gchar* native = location != nullptr ? g_file_get_path(location) : nullptr;
        if (native == nullptr) return;  // not a local file
        std::string path = native;
        std::string badge = bridge_.badgeFor(path);
        if (!badge.empty()) calls_.addEmblem(item, bridge::emblemName(badge).c_str());
        bridge_.emblemGiven(path, badge);
        items_.remember(path, item, badge);
    } catch (const std::exception& error) {
        g_warning("an item went without its emblem: %s", error.what());
    }
}

}  // namespace vantorix::gtk
