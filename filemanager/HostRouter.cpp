#include "HostRouter.h"

#include "JsonUserInfo.h"
#include "VantorixFinderSync.h"
#include "protocol/Paths.h"

namespace vantorix::finder {
namespace {

constexpr std::size_t kBurstLimit = 64 * 1024;

FinderEvent pathEvent(const char* call, const std::string& path) { return {call, "", "", "", path, "", {}}; }

FinderEvent badgeEvent(const std::string& path, const std::string& badge) {
    return {"setBadgeIdentifier", badge, "", "", path, URL::fileURL(path).absoluteString(), {}};
}

}  // namespace

HostRouter::HostRouter(Platform& platform, Deliver deliver)
    : platform_(platform), start_(platform.monotonicNow()), deliver_(std::move(deliver)),
      standIn_(platform, [this](const FinderEvent& event) { route(event); }) {}

void HostRouter::attach(std::shared_ptr<FinderSyncExtension> extension) {
    extension_ = extension;
    standIn_.attach(std::move(extension));
}

void HostRouter::join(HostId id, bool everything, HostSummary summary) {
    std::lock_guard lock(mutex_);
    Host& host = hosts_[id];
    host.everything = everything;
    host.summary = std::move(summary);
    if (everything) return;
    for (const auto& line : registered_) queueLine(id, host, line);
    if (!observed_.empty()) queueLine(id, host, observed_);
}

void HostRouter::leave(HostId id) {
    std::set<std::string> shown;
    {
        std::lock_guard lock(mutex_);
        auto found = hosts_.find(id);
        if (found == hosts_.end()) return;
        for (const auto& path : found->second.requested) {
            auto asked = requestedBy_.find(path);
            if (asked != requestedBy_.end() && asked->second.erase(id) > 0 && asked->second.empty()) requestedBy_.erase(asked);
        }
        shown = found->second.shown;
        hosts_.erase(found);
    }
    for (const auto& folder : shown) {
        std::unique_lock lock(mutex_);
        auto showing = shownBy_.find(folder);
        if (showing == shownBy_.end()) continue;
        showing->second.erase(id);
        if (!showing->second.empty()) continue;
        shownBy_.erase(showing);
        lock.unlock();
        standIn_.hide(folder);
    }
}

std::string HostRouter::run(HostId id, const host::Command& command) {
    using host::CommandKind;
    switch (command.kind) {
    case CommandKind::show:
    case CommandKind::hide:
    case CommandKind::request:
        if (command.argument.empty()) return command.word + " takes a path";
        if (command.kind == CommandKind::show) show(id, absolutePath(command.argument));
        else if (command.kind == CommandKind::hide) hide(id, absolutePath(command.argument));
        else request(id, absolutePath(command.argument));
        return "";
    case CommandKind::post: {
        std::size_t space = command.argument.find(' ');
        std::string name = command.argument.substr(0, space);
        std::string json = space == std::string::npos ? "" : command.argument.substr(space + 1);
        std::string problem;
        std::optional<PropertyValue> userInfo = json.empty() ? std::nullopt : userInfoFromJson(json, problem);
        if (name.empty() || (!json.empty() && !userInfo)) return "post takes a name and a JSON user-info (" + problem + ")";
        platform_.distributedNotificationCenter().post(name, "", userInfo);
        return "";
    }
    case CommandKind::status: {
        auto* extension = dynamic_cast<VantorixFinderSync*>(extension_.get());
        if (extension == nullptr) return "";
        ServiceSummary summary{hosts(), standIn_.shownDirectories()};
        bool service = false;
        {
            std::lock_guard lock(mutex_);
            auto found = hosts_.find(id);
            if (found == hosts_.end()) return "";
            service = !found->second.everything;
        }
        std::string line = statusLine(now(), extension->backlog(), extension->syncFolder(), service ? &summary : nullptr);
        std::lock_guard lock(mutex_);
        auto found = hosts_.find(id);
        if (found != hosts_.end()) queueLine(id, found->second, line);
        return "";
    }
    case CommandKind::wait:
    case CommandKind::quit:
    case CommandKind::none: return "";
    case CommandKind::unknown: break;
    }
    return "unknown command \"" + command.word + "\" (show, hide, request, post, status, wait, quit)";
}

void HostRouter::show(HostId id, const std::string& folder) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        auto found = hosts_.find(id);
        if (found == hosts_.end() || !found->second.shown.insert(folder).second) return;
        std::set<HostId>& showing = shownBy_[folder];
        showing.insert(id);
        first = showing.size() == 1;
    }
    if (first) {
        standIn_.show(folder);
        return;
    }
    // Shown by another host already: what is known of it now, as the stand-in would have said it.
    if (!standIn_.isObserved(folder) || !standIn_.isShown(folder)) return;
    std::vector<std::pair<std::string, std::string>> badges = standIn_.badgesIn(folder);
    std::lock_guard lock(mutex_);
    auto found = hosts_.find(id);
    if (found == hosts_.end()) return;
    Duration t = now();
    queueLine(id, found->second, boundaryLine(pathEvent("beginObservingDirectory", folder), t));
    for (const auto& [path, badge] : badges) queueLine(id, found->second, boundaryLine(badgeEvent(path, badge), t));
}

void HostRouter::hide(HostId id, const std::string& folder) {
    std::unique_lock lock(mutex_);
    auto found = hosts_.find(id);
    if (found == hosts_.end() || found->second.shown.count(folder) == 0) return;
    std::set<HostId>& showing = shownBy_[folder];
    if (showing.size() == 1) {
        // The last host showing it: the stand-in hides it, and the host is told as it happens.
        lock.unlock();
        standIn_.hide(folder);
        lock.lock();
        shownBy_.erase(folder);
    } else {
        showing.erase(id);
        if (!found->second.everything && standIn_.isObserved(folder)) {
            queueLine(id, found->second, boundaryLine(pathEvent("endObservingDirectory", folder), now()));
        }
    }
    found = hosts_.find(id);
    if (found != hosts_.end()) found->second.shown.erase(folder);
}

void HostRouter::request(HostId id, const std::string& path) {
    std::string known = standIn_.badgeOf(path);
    {
        std::lock_guard lock(mutex_);
        auto found = hosts_.find(id);
        if (found == hosts_.end()) return;
        Host& host = found->second;
        if (!host.everything && host.requested.insert(path).second) {
            requestedBy_[path].insert(id);
            host.requestOrder.push_back(path);
            if (host.requestOrder.size() > kRememberedRequests) {
                const std::string& oldest = host.requestOrder.front();
                host.requested.erase(oldest);
                auto asked = requestedBy_.find(oldest);
                if (asked != requestedBy_.end() && asked->second.erase(id) > 0 && asked->second.empty()) requestedBy_.erase(asked);
                host.requestOrder.pop_front();
            }
        }
        if (!host.everything && !known.empty()) queueLine(id, host, boundaryLine(badgeEvent(path, known), now()));
    }
    standIn_.request(path);
}

std::vector<HostSummary> HostRouter::hosts() const {
    std::lock_guard lock(mutex_);
    std::vector<HostSummary> list;
    for (const auto& [id, host] : hosts_) {
        if (host.everything) continue;
        HostSummary summary = host.summary;
        summary.shownFolders = host.shown.size();
        list.push_back(summary);
    }
    return list;
}

// Calls `call` for every host the line of `path` concerns: the hosts given everything, those that show the
// folder (`itemOfFolder`: those that show the path's folder, and those that asked about the path).
void HostRouter::eachInterested(const std::string& path, bool itemOfFolder, const std::function<void(HostId, Host&)>& call) {
    std::set<HostId> interested;
    auto add = [&](const auto& index, const std::string& key) {
        auto found = index.find(key);
        if (found != index.end()) interested.insert(found->second.begin(), found->second.end());
    };
    if (itemOfFolder) {
        add(shownBy_, parentFolder(path));
        add(requestedBy_, path);
    } else {
        add(shownBy_, path);
    }
    for (auto& [id, host] : hosts_) {
        if (host.everything || interested.count(id) > 0) call(id, host);
    }
}

void HostRouter::route(const FinderEvent& event) {
    std::string line = boundaryLine(event, now());
    std::lock_guard lock(mutex_);
    if (event.call == "setBadgeImage" || event.call == "setDirectoryURLs") {
        if (event.call == "setBadgeImage") registered_.push_back(line);
        else observed_ = line;
        for (auto& [id, host] : hosts_) queueLine(id, host, line);
        return;
    }
    bool itemOfFolder = event.call == "setBadgeIdentifier" || event.call == "requestBadgeIdentifier";
    eachInterested(event.path, itemOfFolder, [&](HostId id, Host& host) { queueLine(id, host, line); });
}

void HostRouter::queueLine(HostId id, Host& host, const std::string& line) {
    host.pending += line;
    if (host.pending.size() >= kBurstLimit) {
        deliver_(id, std::exchange(host.pending, {}));
        return;
    }
    if (flushQueued_) return;
    flushQueued_ = true;
    platform_.mainQueue().async([this, life = std::weak_ptr<int>(life_)] {
        if (!life.expired()) flush();
    });
}

void HostRouter::flush() {
    std::lock_guard lock(mutex_);
    flushQueued_ = false;
    for (auto& [id, host] : hosts_) {
        if (!host.pending.empty()) deliver_(id, std::exchange(host.pending, {}));
    }
}

}  // namespace vantorix::finder
