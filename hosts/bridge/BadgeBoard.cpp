#include "BadgeBoard.h"

#include "protocol/HostWire.h"
#include "protocol/Paths.h"
#include "protocol/Wire.h"

namespace vantorix::bridge {

void BadgeBoard::setObserved(std::set<std::string> folders) {
    if (folders == observed_) return;
    observed_ = std::move(folders);
    requested_.clear();
    std::erase_if(badges_, [this](const auto& entry) { return !isInsideObserved(entry.first); });
}

bool BadgeBoard::isInsideObserved(std::string_view path) const {
    return isCoveredBy(path, observed_);
}

void BadgeBoard::setBadge(const std::string& path, const std::string& badge) {
    if (badge.empty()) {
        badges_.erase(path);
    } else if (isInsideObserved(path)) {
        badges_[path] = badge;
    }
}

std::string BadgeBoard::badgeOf(const std::string& path) const {
    auto found = badges_.find(path);
    return found == badges_.end() ? std::string() : found->second;
}

void BadgeBoard::forgetEntriesOf(const std::string& folder) {
    std::erase_if(badges_, [&](const auto& entry) { return parentFolder(entry.first) == folder; });
}

void BadgeBoard::forgetAll() {
    badges_.clear();
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
