// The items a GTK module holds, with real GObjects standing for the file manager's items: walked in the order of
// their whole paths, however the folders' names interleave, and let go of as the file manager lets go of them.
#include "ShownItems.h"

#include <gtest/gtest.h>

#include <set>

namespace vantorix::gtk::testing {
namespace {

std::vector<GObject*> invalidated;
void recordInvalidation(GObject* item) { invalidated.push_back(item); }

GObject* newItem() { return G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr)); }

// The whole walk, in slices of two, as the bridge takes it.
std::vector<std::string> walk(const ShownItems& items) {
    std::vector<std::string> all;
    for (std::string after;;) {
        std::vector<std::string> next = items.pathsAfter(after, 2);
        if (next.empty()) return all;
        all.insert(all.end(), next.begin(), next.end());
        after = next.back();
    }
}

TEST(ShownItems, WalksInPathOrderAndFollowsTheItemsItHolds) {
    // A folder's entries and a sibling folder whose name continues it ("a" and "a-b", "a/z" after "a-b/x" as
    // paths), a subfolder, the root's own entry.
    std::set<std::string> paths{"/r/a/z", "/r/a-b/x", "/r/a/sub/k", "/r/a/b", "/r", "/r/a.txt", "/r/a/"};
    std::vector<GObject*> items;
    ShownItems shown(recordInvalidation);
    for (const auto& path : paths) {
        items.push_back(newItem());
        shown.remember(path, items.back(), "success");
    }
    EXPECT_EQ(walk(shown), std::vector<std::string>(paths.begin(), paths.end()));
    EXPECT_EQ(shown.pathsAfter("/r/a.", 2), (std::vector<std::string>{"/r/a.txt", "/r/a/"}));

    // The emblem given last is the one compared; an invalidation reaches the item held under the path.
    GObject* z = items[std::distance(paths.begin(), paths.find("/r/a/z"))];
    EXPECT_FALSE(shown.showsOtherThan("/r/a/z", "success"));
    shown.remember("/r/a/z", z, "");
    EXPECT_TRUE(shown.showsOtherThan("/r/a/z", "success"));
    EXPECT_FALSE(shown.showsOtherThan("/r/a/y", "success"));
    invalidated.clear();
    EXPECT_TRUE(shown.invalidate("/r/a/z"));
    EXPECT_FALSE(shown.invalidate("/r/a/y"));
    EXPECT_EQ(invalidated, std::vector<GObject*>{z});

    // Renamed: the item is held under its new path alone. Another item under a path: the one before is let go
    // of, and its end later touches nothing.
    shown.remember("/r/a/y", z, "sync");
    EXPECT_FALSE(shown.invalidate("/r/a/z"));
    GObject* replaced = items[std::distance(paths.begin(), paths.find("/r/a/b"))];
    GObject* other = newItem();
    shown.remember("/r/a/b", other, "");
    g_object_unref(replaced);
    EXPECT_EQ(shown.size(), paths.size());
    invalidated.clear();
    shown.invalidate("/r/a/b");
    EXPECT_EQ(invalidated, std::vector<GObject*>{other});

    // An item the file manager lets go of leaves the table; the rest stay walked in order.
    g_object_unref(z);
    EXPECT_FALSE(shown.invalidate("/r/a/y"));
    EXPECT_EQ(walk(shown), (std::vector<std::string>{"/r", "/r/a-b/x", "/r/a.txt", "/r/a/", "/r/a/b", "/r/a/sub/k"}));
    EXPECT_EQ(shown.size(), paths.size() - 1);
    g_object_unref(other);
    for (GObject* item : items) {
        if (item != z && item != replaced) g_object_unref(item);
    }
    EXPECT_EQ(shown.size(), 0u);
}

}  // namespace
}  // namespace vantorix::gtk::testing
