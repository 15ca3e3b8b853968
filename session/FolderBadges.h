// The badges the extension set, by folder and then by name. A folder's path is kept once for all its entries and
// most names fit in a string's own bytes, so a badge costs one slot of a flat table rather than a tree node holding
// its whole path: at 50,000 items of one folder, a few megabytes less in the session service.
#pragma once

#include "core/BadgeWord.h"

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace vantorix::session {

class FolderBadges {
public:
    // Sets the path's badge; an empty one forgets it.
    void set(std::string_view path, const std::string& badge) {
        if (badge.empty()) {
            forget(path);
            return;
        }
        auto [folder, name] = split(path);
        auto names = byFolder_.find(folder);
        if (names == byFolder_.end()) names = byFolder_.emplace(std::string(folder), Names{}).first;
        auto entry = names->second.find(name);
        if (entry == names->second.end()) names->second.emplace(std::string(name), BadgeWord(badge));
        else if (entry->second != badge) entry->second = BadgeWord(badge);
    }
    void forget(std::string_view path) {
        auto [folder, name] = split(path);
        auto names = byFolder_.find(folder);
        if (names == byFolder_.end()) return;
        if (auto entry = names->second.find(name); entry != names->second.end()) names->second.erase(entry);
        if (names->second.empty()) byFolder_.erase(names);
    }
    // The path's badge, or "" for none.
    std::string of(std::string_view path) const {
        auto [folder, name] = split(path);
        auto names = byFolder_.find(folder);
        if (names == byFolder_.end()) return "";
        auto entry = names->second.find(name);
        return entry == names->second.end() ? "" : entry->second.str();
    }

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return boost::hash<std::string_view>{}(text); }
    };
    using Names = boost::unordered_flat_map<std::string, BadgeWord, TextHash, std::equal_to<>>;

    // The text before the last "/" and the text after it; a path without "/" lies in ".", as a relative name does.
    static std::pair<std::string_view, std::string_view> split(std::string_view path) {
        std::size_t slash = path.rfind('/');
        if (slash == std::string_view::npos) return {".", path};
        return {path.substr(0, slash), path.substr(slash + 1)};
    }

    std::map<std::string, Names, std::less<>> byFolder_;
};

}  // namespace vantorix::session
