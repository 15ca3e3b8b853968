#include "HostBridge.h"

#include "protocol/HostWire.h"
#include "protocol/Paths.h"
#include "protocol/Wire.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace vantorix::bridge {
namespace {

constexpr const char* kEmblemPrefix = "emblem-vantorix-";
constexpr std::chrono::milliseconds kStatsInterval{500};
constexpr std::size_t kStatsBlock = 1024;
// The items a sweep takes from the host at a time, between two looks at the clock.
constexpr std::size_t kSweepStep = 64;
// How long the module's requests wait, so that the items of a window just opened are left to the service.
constexpr std::chrono::milliseconds kRequestDelay{200};

double secondsOn(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string environment(const char* name) {
    const char* value = name != nullptr ? std::getenv(name) : nullptr;
    return value != nullptr ? value : "";
}

}  // namespace

std::string emblemName(const std::string& badge) { return kEmblemPrefix + badge; }

BridgeSettings BridgeSettings::fromEnvironment(std::string host, const char* legacyStats) {
    BridgeSettings settings;
    settings.host = std::move(host);
    settings.runtimeDirectory = environment("XDG_RUNTIME_DIR");
    settings.tracePath = environment("VANTORIX_TRACE");
    settings.statsPath = environment("VANTORIX_HOST_STATS");
    if (settings.statsPath.empty()) settings.statsPath = environment(legacyStats);
    for (std::size_t at; (at = settings.statsPath.find("%h")) != std::string::npos;) settings.statsPath.replace(at, 2, settings.host);
    for (std::size_t at; (at = settings.statsPath.find("%p")) != std::string::npos;) settings.statsPath.replace(at, 2, std::to_string(::getpid()));
    return settings;
}

HostBridge::HostBridge(EventLoop& loop, HostItems& items, BridgeSettings settings) : loop_(loop), items_(items), settings_(std::move(settings)) {
    std::string error;
    trace_ = std::make_unique<TraceFile>(settings_.tracePath, settings_.host, error);
    if (!error.empty()) warn(error);
    link_ = std::make_unique<ServiceLink>(loop_, settings_.runtimeDirectory, settings_.host,
                                          ServiceLink::Handlers{[this] { onJoined(); }, [this](const std::string& line) { onLine(line); },
                                                                [this] { onEnded(); }},
                                          meter_);
    if (!settings_.statsPath.empty()) {
        statsFd_ = ::open(settings_.statsPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (statsFd_ < 0) warn("cannot open " + settings_.statsPath + ": " + std::strerror(errno));
        writeStats();  // at once: a counters file, once there, holds counters, even of a process that ends soon
        statsSource_ = loop_.timeout(static_cast<unsigned>(kStatsInterval.count()), [this] {
            HoldMeter::Scope hold(meter_, "stats");
            writeStats();
            return true;
        });
    }
}

HostBridge::~HostBridge() {
    link_.reset();
    for (auto source : {invalidateSource_, requestSource_, statsSource_}) loop_.remove(source);
    ended_ = true;
    writeStats();
    if (statsFd_ >= 0) ::close(statsFd_);
}

std::string HostBridge::badgeFor(const std::string& path) {
    ++counters_.itemsAsked;
    if (!canCarryPath(path) || !host::canCarryOnCommandLine(path)) ++counters_.itemsUncarried;
    std::string badge = board_.badgeOf(path);
    if (board_.takeRequest(path, isListed(path))) {
        requests_.push_back(path);
        if (requestSource_ == 0) {
            requestSource_ = loop_.timeout(static_cast<unsigned>(kRequestDelay.count()), [this] {
                HoldMeter::Scope hold(meter_, "requests");
                if (sendRequests()) return true;
                requestSource_ = 0;
                return false;
            });
        }
    }
    return badge;
}

// Sends the requests for one slice; true while more are waiting.
bool HostBridge::sendRequests() {
    std::int64_t deadline = loop_.nowMicroseconds() + HoldMeter::kSliceMicroseconds;
    std::size_t done = 0;
    for (; done < requests_.size() && loop_.nowMicroseconds() < deadline; ++done) {
        const std::string& path = requests_[done];
        if (isListed(path)) continue;  // its window's folder came meanwhile
        link_->send(host::CommandKind::request, path);
        ++counters_.requestsSent;
    }
    requests_.erase(requests_.begin(), requests_.begin() + static_cast<std::ptrdiff_t>(done));
    return !requests_.empty();
}

void HostBridge::emblemGiven(const std::string& path, const std::string& badge) {
    if (trace_->enabled() && items_.showsOtherThan(path, badge)) {
        nlohmann::ordered_json shown{{"call", "emblemShown"}, {"path", path}, {"badge", badge}, {"monotonic", secondsOn(CLOCK_MONOTONIC)}};
        std::string error;
        if (!trace_->write(shown, error)) warn(error);
    }
    if (badge.empty()) return;
    ++counters_.emblemsGiven;
    counters_.lastEmblemAt = secondsOn(CLOCK_REALTIME);
}

// A walk over the few folders shown, rather than a lookup that would copy the path's folder at every ask.
bool HostBridge::isListed(const std::string& path) const {
    std::string_view folder = parentFolder(path);
    return std::any_of(shown_.begin(), shown_.end(), [&](const std::string& shown) { return shown == folder; });
}

void HostBridge::onJoined() {
    for (const auto& folder : shown_) link_->send(host::CommandKind::show, folder);
}

void HostBridge::onEnded() {
    board_.forgetAll();
    requests_.clear();
    checkAllLater(Check::Emblem);
}

void HostBridge::setShownFolders(const std::set<std::string>& folders) {
    std::set<std::string> shown;
    for (const auto& folder : folders) {
        if (host::canCarryOnCommandLine(folder)) shown.insert(folder);
    }
    for (const auto& folder : shown_) {
        if (shown.count(folder) == 0) link_->send(host::CommandKind::hide, folder);
    }
    for (const auto& folder : shown) {
        if (shown_.count(folder) == 0) link_->send(host::CommandKind::show, folder);
    }
    shown_ = std::move(shown);
    // Joined once a window first shows a folder, never before: a process that only serves file dialogs (GNOME
    // Files does, for other applications) neither starts the service nor keeps a connection to it.
    if (!joining_ && !shown_.empty()) {
        joining_ = true;
        link_->start();
    }
}

void HostBridge::onLine(const std::string& line) {
    std::string problem;
    nlohmann::ordered_json json;
    std::optional<host::BoundaryCall> call = host::readLine(line, json, problem);
    if (!call) {
        // Logged for the first few, then now and then: a service gone wrong must not flood the log.
        if (++counters_.linesRefused <= 10 || counters_.linesRefused % 1000 == 0) {
            warn("dropped a line from the service (" + problem + "; " + std::to_string(counters_.linesRefused) + " so far): " + line.substr(0, 120));
        }
        return;
    }
    ++counters_.linesApplied;
    apply(*call, json);
}

void HostBridge::apply(const host::BoundaryCall& call, nlohmann::ordered_json& json) {
    std::string error;
    if (!trace_->write(json, error)) warn(error);
    switch (call.call) {
    case host::Call::setBadgeIdentifier:
        board_.setBadge(call.path, call.badge);
        checkLater(call.path, Check::Emblem);
        break;
    case host::Call::setDirectoryURLs:
        applyObserved(std::set<std::string>(call.folders.begin(), call.folders.end()));
        break;
    case host::Call::refresh:
        for (const auto& path : board_.takeRequested()) checkLater(path, Check::Always);
        break;
    case host::Call::endObservingDirectory:
        // The file manager no longer shows the folder: its badges are forgotten, not taken from the file manager
        // (it does not draw them; an entry shown elsewhere, as in an expanded list, is asked about again). Shown
        // again, the folder's entries get their badges afresh, and the ones held otherwise are invalidated.
        board_.forgetEntriesOf(call.path);
        break;
    default:
        break;  // images are installed as icons; the rest is for the trace
    }
}

// Items now outside lose their emblem; items now inside in folders the service does not list ask again, so that
// the module requests them.
void HostBridge::applyObserved(std::set<std::string> folders) {
    if (folders == board_.observed()) return;
    board_.setObserved(std::move(folders));
    checkAllLater(Check::Observed);
}

// An item the sweep under way has still to reach, with a check no stronger than the sweep's, is left to it.
void HostBridge::checkLater(const std::string& path, Check check) {
    if (sweep_ && check <= sweep_->check && path > sweep_->after) return;
    auto [it, added] = checkOf_.try_emplace(path, check);
    if (!added) {
        it->second = std::max(it->second, check);
        return;
    }
    checks_.push_back(&it->first);
    pumpChecks();
}

// Every item held, checked in slices however many there are; a sweep under way starts over, with the stronger of
// the two checks (what it checked already may have changed since). The items waiting with a check no stronger are
// left to it.
void HostBridge::checkAllLater(Check check) {
    sweep_ = Sweep{sweep_ ? std::max(sweep_->check, check) : check, {}};
    std::erase_if(checks_, [&](const std::string* path) {
        auto found = checkOf_.find(*path);
        if (found->second > sweep_->check) return false;
        checkOf_.erase(found);
        return true;
    });
    pumpChecks();
}

void HostBridge::pumpChecks() {
    if (invalidateSource_ != 0) return;
    invalidateSource_ = loop_.idle([this] {
        HoldMeter::Scope hold(meter_, "invalidate");
        if (invalidateSome()) return true;
        invalidateSource_ = 0;
        return false;
    });
}

bool HostBridge::needsAsking(const std::string& path, Check check) const {
    if (check == Check::Always) return true;
    if (check == Check::Observed && board_.isInsideObserved(path) && !isListed(path)) return true;
    return items_.showsOtherThan(path, board_.badgeOf(path));
}

// Invalidates for one slice, the items checked one by one first, then the sweep; true while more are waiting. An
// invalidation may make the file manager ask about the item at once (Dolphin does): the queue is taken from
// before each one.
bool HostBridge::invalidateSome() {
    std::int64_t deadline = loop_.nowMicroseconds() + HoldMeter::kSliceMicroseconds;
    auto check = [&](const std::string& path, Check how) {
        if (needsAsking(path, how) && items_.invalidate(path)) ++counters_.invalidations;
        return loop_.nowMicroseconds() < deadline;
    };
    while (!checks_.empty()) {
        auto waiting = checkOf_.extract(*checks_.front());
        checks_.pop_front();
        if (!check(waiting.key(), waiting.mapped())) return !checks_.empty() || sweep_;
    }
    while (sweep_) {
        std::vector<std::string> next = items_.pathsAfter(sweep_->after, kSweepStep);
        if (next.empty()) sweep_.reset();
        for (auto& path : next) {
            sweep_->after = std::move(path);
            if (!check(sweep_->after, sweep_->check)) return true;
        }
    }
    return false;
}

// The counters as one JSON object, rewritten in place as one block padded with spaces to a fixed size, so that the
// thread never waits for the file system (replacing the file by a rename can make it flush). A reader never sees
// a shorter file, but a read that meets a write can see part of each: it does not parse, and readers read again.
void HostBridge::writeStats() const {
    if (statsFd_ < 0) return;
    nlohmann::ordered_json stats;
    stats["host"] = settings_.host;
    stats["hostPid"] = static_cast<int>(::getpid());
    stats["servicePid"] = link_ ? link_->servicePid() : 0;
    stats["connections"] = link_ ? link_->connections() : 0u;
    stats["joined"] = link_ && link_->isJoined();
    stats["itemsAsked"] = counters_.itemsAsked;
    stats["emblemsGiven"] = counters_.emblemsGiven;
    stats["lastEmblemAt"] = counters_.lastEmblemAt;
    stats["requestsSent"] = counters_.requestsSent;
    stats["itemsUncarried"] = counters_.itemsUncarried;
    stats["linesApplied"] = counters_.linesApplied;
    stats["linesDropped"] = counters_.linesRefused + (link_ ? link_->droppedLines() : 0);
    stats["invalidations"] = counters_.invalidations;
    stats["shownFolders"] = shown_.size();
    stats["heldItems"] = items_.size();
    stats["callbacks"] = meter_.callbacks();
    stats["longestHoldMs"] = static_cast<double>(meter_.longestMicroseconds()) / 1000.0;
    stats["longestHoldIn"] = meter_.longestCallback();
    stats["longestWallMs"] = static_cast<double>(meter_.longestWallMicroseconds()) / 1000.0;
    stats["longestCpuMs"] = static_cast<double>(meter_.longestCpuMicroseconds()) / 1000.0;
    stats["ended"] = ended_;  // the module was ended by its host (its shutdown entry point), not cut off
    std::string block = stats.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (block.size() < kStatsBlock) block.resize(kStatsBlock - 1, ' ');
    block.push_back('\n');
    if (::pwrite(statsFd_, block.data(), block.size(), 0) < 0) warn(std::string("cannot write the counters: ") + std::strerror(errno));
}

}  // namespace vantorix::bridge
