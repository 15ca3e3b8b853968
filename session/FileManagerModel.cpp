#include "FileManagerModel.h"

#include "protocol/Paths.h"

#include <algorithm>
#include <numeric>
#include <unistd.h>

namespace vantorix::session {

using namespace std::chrono_literals;

std::string absolutePath(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char buffer[4096];
        std::string cwd = ::getcwd(buffer, sizeof buffer) != nullptr ? buffer : "/";
        absolute = cwd + (absolute.empty() ? "" : "/" + absolute);
    }
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    return absolute;
}

namespace {

// The path of a folder's entry; the root's entries are "/name".
std::string entryPath(const std::string& directory, const std::string& name) { return directory == "/" ? "/" + name : directory + "/" + name; }

}  // namespace

FileManagerModel::FileManagerModel(Platform& platform, EventSink sink) : platform_(platform), sink_(std::move(sink)) {}

FileManagerModel::~FileManagerModel() {
    if (relistTimer_) relistTimer_->invalidate();
}

void FileManagerModel::attach(std::shared_ptr<FinderSyncExtension> extension) {
    extension_ = std::move(extension);
    if (!relistTimer_) {
        relistTimer_ = platform_.scheduleTimer(1s, true, [this](Timer&) { relistObserved(); });
    }
}

void FileManagerModel::emit(const host::BoundaryCall& call) {
    std::lock_guard lock(mutex_);
    if (sink_) sink_(call);
}

bool FileManagerModel::isObserved(const std::string& directory) const {
    return isCoveredBy(directory, observed_);
}

void FileManagerModel::show(const std::string& directory) {
    std::string path = absolutePath(directory);
    auto [it, added] = shown_.try_emplace(path);
    if (!added) return;
    if (isObserved(path)) startObserving(path, it->second);
}

void FileManagerModel::hide(const std::string& directory) {
    std::string path = absolutePath(directory);
    auto found = shown_.find(path);
    if (found == shown_.end()) return;
    if (found->second.observed) stopObserving(path, found->second);
    shown_.erase(found);
}

void FileManagerModel::request(const std::string& path) {
    emit(host::pathCall(host::Call::requestBadgeIdentifier, path));
    if (extension_) extension_->requestBadgeIdentifier(URL::fileURL(path));
}

void FileManagerModel::startObserving(const std::string& directory, ShownDirectory& shown) {
    shown.observed = true;
    shown.forgetNames();
    emit(host::pathCall(host::Call::beginObservingDirectory, directory));
    if (extension_) extension_->beginObservingDirectory(URL::fileURL(directory));
    requestEntries(directory, shown);
}

void FileManagerModel::stopObserving(const std::string& directory, ShownDirectory& shown) {
    shown.observed = false;
    shown.listing = 0;
    emit(host::pathCall(host::Call::endObservingDirectory, directory));
    if (extension_) extension_->endObservingDirectory(URL::fileURL(directory));
    shown.eachName([&](const std::string& name) { badges_.forget(entryPath(directory, name)); });
    shown.forgetNames();
}

// Asks for the entries not asked for yet, in name order; forgets the ones that went away.
void FileManagerModel::requestEntries(const std::string& directory, ShownDirectory& shown) {
    DirectoryNames listed = platform_.contentsOfDirectory(directory);
    if (!listed || listed == shown.listed) return;  // gone, or the very listing of the last look
    // Unchanged since the last listing: nothing appeared, nothing went away (the common case, once a second). The
    // places of the names hold in the new listing, which is kept instead of the old one.
    std::size_t listing = fingerprint(*listed);
    if (listing == shown.listing && !shown.byName.empty() && listed->size() == shown.listed->size()) {
        shown.listed = std::move(listed);
        return;
    }
    const std::vector<std::string>& names = *listed;
    std::vector<std::uint32_t> byName(names.size());
    std::iota(byName.begin(), byName.end(), 0u);
    std::sort(byName.begin(), byName.end(), [&](std::uint32_t a, std::uint32_t b) { return names[a] < names[b]; });
    // The last names and these, both in name order, walked together: a name only in the last went away, one only
    // in these appeared.
    std::vector<std::uint32_t> appeared;
    auto last = shown.byName.begin();
    auto lastName = [&] { return std::string_view((*shown.listed)[*last]); };
    for (std::uint32_t at : byName) {
        for (; last != shown.byName.end() && lastName() < names[at]; ++last) badges_.forget(entryPath(directory, std::string(lastName())));
        if (last != shown.byName.end() && lastName() == names[at]) {
            ++last;
        } else {
            appeared.push_back(at);
        }
    }
    for (; last != shown.byName.end(); ++last) badges_.forget(entryPath(directory, std::string(lastName())));
    shown.listing = listing;
    shown.listed = listed;
    shown.byName = std::move(byName);
    for (std::uint32_t at : appeared) request(entryPath(directory, names[at]));
}

std::size_t FileManagerModel::fingerprint(const std::vector<std::string>& names) {
    std::size_t print = names.size();
    for (const auto& name : names) print = (print * 1099511628211u) ^ std::hash<std::string>{}(name);
    return print;
}

void FileManagerModel::relistObserved() {
    for (auto& [directory, shown] : shown_) {
        if (shown.observed) requestEntries(directory, shown);
    }
}

std::map<std::string, RegisteredBadge> FileManagerModel::registeredBadges() const {
    std::lock_guard lock(mutex_);
    return registered_;
}

std::string FileManagerModel::badgeOf(const std::string& path) const {
    return badges_.of(path);
}

std::vector<std::pair<std::string, std::string>> FileManagerModel::badgesIn(const std::string& directory) const {
    std::vector<std::pair<std::string, std::string>> badges;
    auto shown = shown_.find(directory);
    if (shown == shown_.end() || !shown->second.observed) return badges;
    shown->second.eachName([&](const std::string& name) {
        std::string path = entryPath(directory, name);
        std::string badge = badgeOf(path);
        if (!badge.empty()) badges.emplace_back(std::move(path), std::move(badge));
    });
    return badges;
}

std::set<std::string> FileManagerModel::observedDirectories() const { return observed_; }

std::vector<std::string> FileManagerModel::shownDirectories() const {
    std::vector<std::string> paths;
    for (const auto& entry : shown_) paths.push_back(entry.first);
    return paths;
}

void FileManagerModel::setBadgeImage(const Image& image, const std::string& label, const std::string& identifier) {
    {
        std::lock_guard lock(mutex_);
        registered_[identifier] = {label, image.name};
    }
    emit(host::imageCall(identifier, label, image.name));
}

void FileManagerModel::setBadgeIdentifier(const std::string& identifier, const URL& url) {
    std::string path = url.path();
    emit(host::badgeCall(path, identifier));
    badges_.set(path, identifier);
}

void FileManagerModel::setDirectoryURLs(const std::set<URL>& urls) {
    std::vector<std::string> folders;
    for (const auto& url : urls) folders.push_back(url.path());
    emit(host::observedCall(folders));
    std::set<std::string> paths(folders.begin(), folders.end());
    if (paths == observed_) return;
    observed_ = std::move(paths);
    for (auto& [directory, shown] : shown_) {
        bool nowObserved = isObserved(directory);
        if (nowObserved && !shown.observed) {
            startObserving(directory, shown);
        } else if (!nowObserved && shown.observed) {
            stopObserving(directory, shown);
        }
    }
}

}  // namespace vantorix::session
