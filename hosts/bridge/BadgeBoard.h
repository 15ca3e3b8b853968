// What a host module knows about badges, as the session service reports them: the observed set, the badge of
// each item, and the items the module asked for itself. Plain state, used on the file manager's main thread only.
// Badges are kept by folder, then by name: a folder's entries are forgotten at once, however many, and a path is
// looked up without being copied. Each badge word is kept once, for all the items that have it.
#pragma once

#include "SharedWords.h"

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vantorix::bridge {

class BadgeBoard {
public:
    // The observed set, as folder paths (setDirectoryURLs). When it changes, the badges of items now outside it
    // are dropped and the record of requests is cleared.
    void setObserved(std::set<std::string> folders);
    const std::set<std::string>& observed() const { return observed_; }
    // Whether the path equals a folder of the observed set or lies below one.
    bool isInsideObserved(std::string_view path) const;

    // Sets or, with "", removes an item's badge. Ignored outside the observed set.
    void setBadge(const std::string& path, const std::string& badge);
    // The item's badge, "" when none.
    std::string badgeOf(const std::string& path) const;
    // Forgets the badges of a folder's entries (its observation ended).
    void forgetEntriesOf(const std::string& folder);
    // Forgets everything (the connection to the service ended).
    void forgetAll();

    // Whether the file manager asking about the item should become a badge request from the module: the item lies
    // in the observed set, a request line can carry its path, its folder is not one the service lists itself
    // (`folderListed`), and the module has not asked for it since the observed set last changed. Records
    // the request when it answers yes, so that asking again (as after an invalidation) never repeats it.
    bool takeRequest(const std::string& path, bool folderListed);
    // The items the module asked for, forgotten so that they are asked for again (the extension repaints).
    std::vector<std::string> takeRequested();

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    template <typename Value>
    using Table = std::unordered_map<std::string, Value, Hash, std::equal_to<>>;

    using Entries = Table<SharedWords::Word>;  // entry name -> badge, in words_
    Entries::iterator forget(Entries& entries, Entries::iterator entry);  // the entry after it

    std::set<std::string> observed_;
    SharedWords words_;
    Table<Entries> badges_;  // folder -> its entries
    std::unordered_set<std::string> requested_;
};

}  // namespace vantorix::bridge
