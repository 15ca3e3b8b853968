// The items a GTK file manager has asked about and still holds, by path, with the emblem each was last given, so
// that a badge that changes can make the file manager ask again. Holds them weakly: an item the file manager lets
// go of leaves the map by itself. Main thread only.
#pragma once

#include "HostBridge.h"

#include <glib-object.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantorix::gtk {

class ShownItems final : public bridge::HostItems {
public:
    // How the file manager is made to ask about an item again (its invalidate_extension_info).
    using Invalidate = void (*)(GObject* item);

    explicit ShownItems(Invalidate invalidate) : invalidate_(invalidate) {}
    ~ShownItems() override;  // lets go of its weak references
    ShownItems(const ShownItems&) = delete;
    ShownItems& operator=(const ShownItems&) = delete;

    // The file manager asked about the item and was given the badge's emblem ("" for none).
    void remember(const std::string& path, GObject* item, const std::string& badge);

    bool invalidate(const std::string& path) override;
    bool showsOtherThan(const std::string& path, const std::string& badge) const override;
    std::vector<std::string> pathsAfter(const std::string& after, std::size_t most) const override;
    std::size_t size() const override { return byPath_.size(); }

private:
    static void onFinalized(gpointer self, GObject* item);
    void forget(GObject* item);

    struct Held {
        GObject* item;
        std::string badge;
    };
    using ByPath = std::map<std::string, Held>;  // ordered: the bridge walks it in slices
    Invalidate invalidate_;
    ByPath byPath_;
    std::unordered_map<GObject*, ByPath::iterator> byItem_;  // the path once, in byPath_
};

}  // namespace vantorix::gtk
