#include "ShownItems.h"

#include <array>
#include <cstdint>

namespace vantorix::gtk {
namespace {

// A path in pieces, compared as the pieces joined: an entry's is its folder, up to and with the last slash, and
// its name; a whole path is one piece.
using Pieces = std::array<std::string_view, 2>;

// Where the path's name begins: after its last slash.
std::size_t nameStart(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

int compare(Pieces a, Pieces b) {
    std::size_t i = 0, j = 0;
    std::string_view x = a[0], y = b[0];
    while (true) {
        while (x.empty() && i + 1 < a.size()) x = a[++i];
        while (y.empty() && j + 1 < b.size()) y = b[++j];
        if (x.empty() || y.empty()) return x.empty() ? (y.empty() ? 0 : -1) : 1;
        std::size_t common = std::min(x.size(), y.size());
        if (int order = x.substr(0, common).compare(y.substr(0, common)); order != 0) return order;
        x.remove_prefix(common);
        y.remove_prefix(common);
    }
}

}  // namespace

bool ShownItems::PathOrder::operator()(const Key& a, const Key& b) const {
    return compare(Pieces{a.folder->first, a.name}, Pieces{b.folder->first, b.name}) < 0;
}
bool ShownItems::PathOrder::operator()(const Key& a, std::string_view b) const {
    return compare(Pieces{a.folder->first, a.name}, Pieces{b, {}}) < 0;
}
bool ShownItems::PathOrder::operator()(std::string_view a, const Key& b) const {
    return compare(Pieces{a, {}}, Pieces{b.folder->first, b.name}) < 0;
}

// Each table has a name of its own for its data on the items, so that two never take each other's.
ShownItems::ShownItems(Invalidate invalidate)
    : invalidate_(invalidate), quark_(g_quark_from_string(("vantorix-shown-" + std::to_string(reinterpret_cast<std::uintptr_t>(this))).c_str())) {}

ShownItems::~ShownItems() {
    for (const auto& [key, held] : entries_) g_object_steal_qdata(held.item, quark_);
}

void ShownItems::remember(const std::string& path, GObject* item, const std::string& badge) {
    auto known = entries_.find(std::string_view(path));
    if (known != entries_.end() && known->second.item == item) {
        badges_.replace(known->second.badge, badge);
        return;
    }
    if (known != entries_.end()) forget(known);  // another item under the path: the one held before is let go
    if (auto* renamed = static_cast<Entries::value_type*>(g_object_get_qdata(item, quark_))) {
        forget(entries_.find(renamed->first));  // the same item under another path: it was renamed
    }
    std::size_t name = nameStart(path);
    auto folder = folders_.try_emplace(path.substr(0, name), Folder{this, 0}).first;
    ++folder->second.entries;
    auto entry = entries_.emplace(Key{folder, path.substr(name)}, Held{item, badges_.hold(badge)}).first;
    g_object_set_qdata_full(item, quark_, &*entry, onFinalized);
}

bool ShownItems::showsOtherThan(const std::string& path, const std::string& badge) const {
    auto found = entries_.find(std::string_view(path));
    return found != entries_.end() && found->second.badge->first != badge;
}

void ShownItems::forget(Entries::iterator entry) {
    g_object_steal_qdata(entry->second.item, quark_);
    erase(entry);
}

void ShownItems::erase(Entries::iterator entry) {
    auto folder = entry->first.folder;
    badges_.release(entry->second.badge);
    entries_.erase(entry);
    if (--folder->second.entries == 0) folders_.erase(folder);
}

void ShownItems::onFinalized(gpointer data) {
    auto* entry = static_cast<Entries::value_type*>(data);
    ShownItems* items = entry->first.folder->second.owner;
    items->erase(items->entries_.find(entry->first));
}

bool ShownItems::invalidate(const std::string& path) {
    auto found = entries_.find(std::string_view(path));
    if (found == entries_.end()) return false;
    invalidate_(found->second.item);
    return true;
}

std::vector<std::string> ShownItems::pathsAfter(const std::string& after, std::size_t most) const {
    std::vector<std::string> paths;
    for (auto it = entries_.upper_bound(std::string_view(after)); it != entries_.end() && paths.size() < most; ++it) {
        paths.emplace_back(it->first.folder->first).append(it->first.name);
    }
    return paths;
}

}  // namespace vantorix::gtk
