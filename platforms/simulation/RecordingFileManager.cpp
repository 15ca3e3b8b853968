#include "RecordingFileManager.h"

namespace vantorix::simulation {

void RecordingFileManager::setBadgeImage(const Image& image, const std::string& label, const std::string& identifier) {
    calls_.push_back({FileManagerCall::Kind::setBadgeImage, clock_(), identifier, label, image, std::nullopt, {}});
}

void RecordingFileManager::setBadgeIdentifier(const std::string& identifier, const URL& url) {
    calls_.push_back({FileManagerCall::Kind::setBadgeIdentifier, clock_(), identifier, "", {}, url, {}});
    badges_[url.path()] = identifier;
}

void RecordingFileManager::setDirectoryURLs(const std::set<URL>& urls) {
    calls_.push_back({FileManagerCall::Kind::setDirectoryURLs, clock_(), "", "", {}, std::nullopt, urls});
    directoryURLs_ = urls;
}

std::vector<FileManagerCall> RecordingFileManager::callsOf(FileManagerCall::Kind kind) const {
    std::vector<FileManagerCall> selected;
    for (const auto& call : calls_) {
        if (call.kind == kind) selected.push_back(call);
    }
    return selected;
}

std::optional<std::string> RecordingFileManager::badgeOf(const std::string& path) const {
    auto found = badges_.find(path);
    if (found == badges_.end()) return std::nullopt;
    return found->second;
}

}  // namespace vantorix::simulation
