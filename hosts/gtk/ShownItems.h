// The items a GTK file manager has asked about and still holds, by path, with the emblem each was last given, so
// that a badge that changes can make the file manager ask again. Main thread only.
//
// A file manager that asks about every item of a folder (Caja does) makes this the module's largest table, so an
// item costs little here: its folder is kept once for all the folder's entries and its badge word once for all
// the items given it, and the item knows its own entry (object data whose release, when the file manager finalizes the item,
// takes the entry out). The entries are still ordered as their whole paths are, which the bridge's walks rely on.
#pragma once

#include "HostBridge.h"
#include "SharedWords.h"

#include <glib-object.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix::gtk {

class ShownItems final : public bridge::HostItems {
public:
    // How the file manager is made to ask about an item again (its invalidate_extension_info).
    using Invalidate = void (*)(GObject* item);

    explicit ShownItems(Invalidate invalidate);
    ~ShownItems() override;  // takes its data off the items still held
    ShownItems(const ShownItems&) = delete;
    ShownItems& operator=(const ShownItems&) = delete;

    // The file manager asked about the item and was given the badge's emblem ("" for none).
    void remember(const std::string& path, GObject* item, const std::string& badge);

    bool invalidate(const std::string& path) override;
    bool showsOtherThan(const std::string& path, const std::string& badge) const override;
    std::vector<std::string> pathsAfter(const std::string& after, std::size_t most) const override;
    std::size_t size() const override { return entries_.size(); }

private:
    struct Folder {
        ShownItems* owner;
        std::size_t entries;
    };
    // folder, up to and with its last slash -> the table and how many of its entries it holds
    using Folders = std::map<std::string, Folder, std::less<>>;
    // A path as its folder (kept in folders_) and its name: the two joined are the path.
    struct Key {
        Folders::iterator folder;
        std::string name;
    };
    // Compares keys and whole paths alike, as the whole paths compare.
    struct PathOrder {
        using is_transparent = void;
        bool operator()(const Key& a, const Key& b) const;
        bool operator()(const Key& a, std::string_view b) const;
        bool operator()(std::string_view a, const Key& b) const;
    };
    struct Held {
        GObject* item;
        bridge::SharedWords::Word badge;  // in badges_
    };
    using Entries = std::map<Key, Held, PathOrder>;

    static void onFinalized(gpointer entry);
    void forget(Entries::iterator entry);   // takes the entry's data off its item, then erases it
    void erase(Entries::iterator entry);

    Invalidate invalidate_;
    GQuark quark_;  // this table's data on the items it holds
    Folders folders_;
    bridge::SharedWords badges_;
    Entries entries_;
};

}  // namespace vantorix::gtk
