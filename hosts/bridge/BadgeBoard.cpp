#include "BadgeBoard.h"

#include "protocol/HostWire.h"
#include "protocol/Paths.h"
#include "protocol/Wire.h"

namespace vantorix::bridge {

namespace {

// The path as its folder and its name: "/a/b" -> "/a", "b"; "/a" -> "/", "a".
std::pair<std::string_view, std::string_view> split(std::string_view path) {
    std::string_view folder = parentFolder(path);
    return {folder, path.substr(folder == "/" ? 1 : folder.size() + 1)};
}

}  // namespace

// A folder outside the set keeps only its entries that are observed folders themselves (the sync folder, as an
// entry of the folder that holds it).
void BadgeBoard::setObserved(std::set<std::string> folders) {
    if (folders == observed_) return;
    observed_ = std::move(folders);
    requested_.clear();
    for (auto folder = badges_.begin(); folder != badges_.end();) {
        auto& [path, entries] = *folder;
        if (!isInsideObserved(path)) {
            for (auto entry = entries.begin(); entry != entries.end();) {
                bool observed = observed_.count(path + (path == "/" ? "" : "/") + entry->first) > 0;
                entry = observed ? std::next(entry) : forget(entries, entry);
            }
        }
        folder = entries.empty() ? badges_.erase(folder) : std::next(folder);
    }
}

bool BadgeBoard::isInsideObserved(std::string_view path) const {
    return isCoveredBy(path, observed_);
}

void BadgeBoard::setBadge(const std::string& path, const std::string& badge) {
    auto [folder, name] = split(path);
    if (badge.empty()) {
        auto entries = badges_.find(folder);
        if (entries == badges_.end()) return;
        if (auto found = entries->second.find(name); found != entries->second.end()) forget(entries->second, found);
        if (entries->second.empty()) badges_.erase(entries);
    } else if (isInsideObserved(path)) {
        auto entries = badges_.find(folder);
        if (entries == badges_.end()) entries = badges_.emplace(std::string(folder), Entries{}).first;
        if (auto found = entries->second.find(name); found != entries->second.end()) words_.replace(found->second, badge);
        else entries->second.emplace(std::string(name), words_.hold(badge));
    }
}

std::string BadgeBoard::badgeOf(const std::string& path) const {
    auto [folder, name] = split(path);
    auto entries = badges_.find(folder);
    if (entries == badges_.end()) return {};
    auto found = entries->second.find(name);
    return found == entries->second.end() ? std::string() : found->second->first;
}

BadgeBoard::Entries::iterator BadgeBoard::forget(Entries& entries, Entries::iterator entry) {
    words_.release(entry->second);
    return entries.erase(entry);
}

void BadgeBoard::forgetEntriesOf(const std::string& folder) {
    auto entries = badges_.find(folder);
    if (entries == badges_.end()) return;
    for (const auto& [name, word] : entries->second) words_.release(word);
    badges_.erase(entries);
}

void BadgeBoard::forgetAll() {
    badges_.clear();
    words_.clear();
    observed_.clear();
    requested_.clear();
}

bool BadgeBoard::takeRequest(const std::string& path, bool folderListed) {
    if (folderListed || !isInsideObserved(path) || !canCarryPath(path) || !host::canCarryOnCommandLine(path)) return false;
    return requested_.insert(path).second;
}

std::vector<std::string> BadgeBoard::takeRequested() {
    std::vector<std::string> paths(requested_.begin(), requested_.end());
    requested_.clear();
    return paths;
}

}  // namespace vantorix::bridge
