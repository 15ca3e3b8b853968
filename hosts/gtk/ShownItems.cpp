#include "ShownItems.h"

namespace vantorix::gtk {

ShownItems::~ShownItems() {
    for (const auto& [item, held] : byItem_) g_object_weak_unref(item, onFinalized, this);
}

void ShownItems::remember(const std::string& path, GObject* item, const std::string& badge) {
    auto known = byPath_.find(path);
    if (known != byPath_.end() && known->second.item == item) {
        known->second.badge = badge;
        return;
    }
    if (known != byPath_.end()) forget(known->second.item);
    if (byItem_.count(item) > 0) forget(item);  // the same item under another path: it was renamed
    byItem_[item] = byPath_.insert_or_assign(path, Held{item, badge}).first;
    g_object_weak_ref(item, onFinalized, this);
}

bool ShownItems::showsOtherThan(const std::string& path, const std::string& badge) const {
    auto found = byPath_.find(path);
    return found != byPath_.end() && found->second.badge != badge;
}

void ShownItems::forget(GObject* item) {
    auto found = byItem_.find(item);
    if (found == byItem_.end()) return;
    g_object_weak_unref(item, onFinalized, this);
    byPath_.erase(found->second);
    byItem_.erase(found);
}

void ShownItems::onFinalized(gpointer self, GObject* item) {
    auto* items = static_cast<ShownItems*>(self);
    auto found = items->byItem_.find(item);
    if (found == items->byItem_.end()) return;
    items->byPath_.erase(found->second);
    items->byItem_.erase(found);
}

bool ShownItems::invalidate(const std::string& path) {
    auto found = byPath_.find(path);
    if (found == byPath_.end()) return false;
    invalidate_(found->second.item);
    return true;
}

std::vector<std::string> ShownItems::pathsAfter(const std::string& after, std::size_t most) const {
    return bridge::pathsAfter(byPath_, after, most);
}

}  // namespace vantorix::gtk
