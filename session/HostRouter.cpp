#include "HostRouter.h"

#include "JsonUserInfo.h"
#include "VantorixFinderSync.h"
#include "protocol/Paths.h"

#include <unistd.h>

#include <algorithm>

namespace vantorix::session {
namespace {

constexpr std::size_t kBurstLimit = 64 * 1024;

}  // namespace

HostRouter::HostRouter(Platform& platform, Deliver deliver)
    : platform_(platform), start_(platform.monotonicNow()), deliver_(std::move(deliver)),
      model_(platform, [this](const host::BoundaryCall& call) { route(call); }) {}

void HostRouter::attach(std::shared_ptr<FinderSyncExtension> extension) {
    extension_ = extension;
    model_.attach(std::move(extension));
}

void HostRouter::join(HostId id, bool everything, host::StatusAnswer::Host summary) {
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
        model_.hide(folder);
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
        host::StatusAnswer status;
        VantorixFinderSync::Backlog backlog = extension->backlog();
        status.waiting = backlog.waiting;
        status.queued = backlog.queued;
        status.inFlight = backlog.inFlight;
        status.retrying = backlog.retrying;
        status.syncFolder = extension->syncFolder();
        bool service = false;
        {
            std::lock_guard lock(mutex_);
            auto found = hosts_.find(id);
            if (found == hosts_.end()) return "";
            service = !found->second.everything;
        }
        if (service) status.service = host::StatusAnswer::Service{hosts(), model_.shownDirectories(), static_cast<int>(::getpid()), VANTORIX_VERSION};
        std::string line = host::writeStatus(now(), status);
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
        model_.show(folder);
        return;
    }
    // Shown by another host already: what is known of it now, as the stand-in would have said it.
    if (!model_.isObserved(folder) || !model_.isShown(folder)) return;
    std::vector<std::pair<std::string, std::string>> badges = model_.badgesIn(folder);
    std::lock_guard lock(mutex_);
    auto found = hosts_.find(id);
    if (found == hosts_.end()) return;
    Duration t = now();
    queueLine(id, found->second, host::writeLine(host::pathCall(host::Call::beginObservingDirectory, folder), t));
    for (const auto& [path, badge] : badges) queueLine(id, found->second, host::writeLine(host::badgeCall(path, badge), t));
}

void HostRouter::hide(HostId id, const std::string& folder) {
    std::unique_lock lock(mutex_);
    auto found = hosts_.find(id);
    if (found == hosts_.end() || found->second.shown.count(folder) == 0) return;
    std::set<HostId>& showing = shownBy_[folder];
    if (showing.size() == 1) {
        // The last host showing it: the stand-in hides it, and the host is told as it happens.
        lock.unlock();
        model_.hide(folder);
        lock.lock();
        shownBy_.erase(folder);
    } else {
        showing.erase(id);
        if (!found->second.everything && model_.isObserved(folder)) {
            queueLine(id, found->second, host::writeLine(host::pathCall(host::Call::endObservingDirectory, folder), now()));
        }
    }
    found = hosts_.find(id);
    if (found != hosts_.end()) found->second.shown.erase(folder);
}

void HostRouter::request(HostId id, const std::string& path) {
    std::string known = model_.badgeOf(path);
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
        if (!host.everything && !known.empty()) queueLine(id, host, host::writeLine(host::badgeCall(path, known), now()));
    }
    model_.request(path);
}

std::vector<host::StatusAnswer::Host> HostRouter::hosts() const {
    std::lock_guard lock(mutex_);
    std::vector<host::StatusAnswer::Host> list;
    for (const auto& [id, host] : hosts_) {
        if (host.everything) continue;
        host::StatusAnswer::Host summary = host.summary;
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
        add(shownBy_, std::string(parentFolder(path)));
        add(requestedBy_, path);
    } else {
        add(shownBy_, path);
    }
    for (auto& [id, host] : hosts_) {
        if (host.everything || interested.count(id) > 0) call(id, host);
    }
}

void HostRouter::route(const host::BoundaryCall& call) {
    std::string line = host::writeLine(call, now());
    std::lock_guard lock(mutex_);
    if (call.call == host::Call::setBadgeImage) {
        registered_.push_back(line);
        for (auto& [id, host] : hosts_) queueLine(id, host, line);
        return;
    }
    if (call.call == host::Call::setDirectoryURLs) {
        observedSet(line, std::set<std::string>(call.folders.begin(), call.folders.end()));
        return;
    }
    bool itemOfFolder = call.call == host::Call::setBadgeIdentifier || call.call == host::Call::requestBadgeIdentifier;
    eachInterested(call.path, itemOfFolder, [&](HostId id, Host& host) { queueLine(id, host, line); });
}

void HostRouter::observedSet(const std::string& line, std::set<std::string> folders) {
    for (auto& [id, host] : hosts_) {
        if (host.everything) queueLine(id, host, line);
    }
    if (held_) {
        if (folders != given_) {
            held_ = Held{line, std::move(folders)};  // the window runs on
            return;
        }
        held_.reset();  // put back as it was: a repaint
        for (const auto& folder : folders) {
            std::string refresh = host::writeLine(host::pathCall(host::Call::refresh, folder), now());
            for (auto& [id, host] : hosts_) {
                if (!host.everything) queueLine(id, host, refresh);
            }
        }
        return;
    }
    if (std::includes(folders.begin(), folders.end(), given_.begin(), given_.end())) {
        give(line, std::move(folders));
        return;
    }
    held_ = Held{line, std::move(folders)};
    platform_.mainQueue().asyncAfter(kRepaintWindow, [this, life = std::weak_ptr<int>(life_), hold = ++holds_] {
        if (life.expired()) return;
        std::lock_guard lock(mutex_);
        if (!held_ || hold != holds_) return;
        Held held = std::move(*held_);
        held_.reset();
        give(std::move(held.line), std::move(held.folders));
    });
}

void HostRouter::give(std::string line, std::set<std::string> folders) {
    for (auto& [id, host] : hosts_) {
        if (!host.everything) queueLine(id, host, line);
    }
    observed_ = std::move(line);
    given_ = std::move(folders);
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

}  // namespace vantorix::session
