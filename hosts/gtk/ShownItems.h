// The items GNOME Files has asked about and still holds, by path, with the emblem each was last given, so that
// a badge that changes can make GNOME Files ask again. Holds them weakly: an item GNOME Files lets go of leaves
// the map by itself. Main thread only.
#pragma once

#include "NautilusApi.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace vantorix::nautilus {

class ShownItems {
public:
    ShownItems() = default;
    ~ShownItems();  // lets go of its weak references
    ShownItems(const ShownItems&) = delete;
    ShownItems& operator=(const ShownItems&) = delete;

    // GNOME Files asked about the item and was given the badge's emblem ("" for none).
    void remember(const std::string& path, NautilusFileInfo* item, const std::string& badge);
    // Whether GNOME Files holds the item with another emblem than the badge's.
    bool showsOtherThan(const std::string& path, const std::string& badge) const;
    // Makes GNOME Files ask about the item again, when it still holds it; returns whether it did.
    bool invalidate(const std::string& path);
    std::vector<std::string> paths() const;
    std::size_t size() const { return byPath_.size(); }

private:
    static void onFinalized(gpointer self, GObject* item);
    void forget(GObject* item);

    struct Held {
        GObject* item;
        std::string badge;
    };
    std::unordered_map<std::string, Held> byPath_;
    std::unordered_map<GObject*, std::string> byItem_;
};

}  // namespace vantorix::nautilus
