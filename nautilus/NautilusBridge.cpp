#include "NautilusBridge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vantorix::nautilus {
namespace {

constexpr const char* kEmblemPrefix = "emblem-vantorix-";
constexpr guint kStatsIntervalMs = 500;
constexpr std::size_t kStatsBlock = 1024;
// How long folders removed from the observed set keep their badges, in case they come back (a repaint).
constexpr guint kRemovalDelayMs = 1000;
// How long the module's requests wait, so that items of a window just opened are left to the extension process.
constexpr guint kRequestDelayMs = 200;

std::string environment(const char* name) {
    const char* value = g_getenv(name);
    return value != nullptr ? value : "";
}

// Whether a command line can carry the path: it is cut at line ends.
bool fitsCommandLine(const std::string& path) { return path.find_first_of("\n\r") == std::string::npos; }

}  // namespace

BridgeSettings BridgeSettings::fromEnvironment() {
    BridgeSettings settings;
    settings.program = environment("VANTORIX_EXTENSION_PROGRAM");
    if (settings.program.empty()) settings.program = VANTORIX_INSTALLED_EXTENSION_PROGRAM;
    settings.tracePath = environment("VANTORIX_TRACE");
    settings.statsPath = environment("VANTORIX_NAUTILUS_STATS");
    return settings;
}

NautilusBridge::NautilusBridge(BridgeSettings settings) : settings_(std::move(settings)), trace_(settings_.tracePath.c_str()) {
    process_ = std::make_unique<ExtensionProcess>(
        settings_.program,
        ExtensionProcess::Handlers{[this] { onStarted(); }, [this](const std::string& line) { onLine(line); }, [this] { onEnded(); }}, meter_);
    locations_ = std::make_unique<WindowLocations>([this](const std::set<std::string>& folders) { onFolders(folders); }, meter_);
    process_->start();
    if (!settings_.statsPath.empty()) {
        statsFd_ = ::open(settings_.statsPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (statsFd_ < 0) g_message("vantorix: cannot open %s: %s", settings_.statsPath.c_str(), g_strerror(errno));
        statsSource_ = g_timeout_add(kStatsIntervalMs, onStatsTimer, this);
    }
}

NautilusBridge::~NautilusBridge() {
    locations_.reset();
    process_.reset();
    if (invalidateSource_ != 0) g_source_remove(invalidateSource_);
    if (removalSource_ != 0) g_source_remove(removalSource_);
    if (requestSource_ != 0) g_source_remove(requestSource_);
    if (statsSource_ != 0) g_source_remove(statsSource_);
    writeStats();
    if (statsFd_ >= 0) ::close(statsFd_);
}

void NautilusBridge::updateFileInfo(NautilusFileInfo* item) {
    HoldMeter::Scope hold(meter_, "update_file_info");
    ++counters_.updateFileInfo;
    GFile* location = nautilus_file_info_get_location(item);
    gchar* native = location != nullptr ? g_file_get_path(location) : nullptr;
    if (location != nullptr) g_object_unref(location);
    if (native == nullptr) return;  // not a local file
    std::string path = native;
    g_free(native);
    std::string badge = board_.badgeOf(path);
    if (!badge.empty()) {
        nautilus_file_info_add_emblem(item, (kEmblemPrefix + badge).c_str());
        ++counters_.emblemsAdded;
    }
    items_.remember(path, item, badge);
    if (fitsCommandLine(path) && board_.takeRequest(path, isListed(path))) {
        requests_.push_back(path);
        if (requestSource_ == 0) requestSource_ = g_timeout_add(kRequestDelayMs, onRequestsDue, this);
    }
}

gboolean NautilusBridge::onRequestsDue(gpointer self) {
    auto* bridge = static_cast<NautilusBridge*>(self);
    HoldMeter::Scope hold(bridge->meter_, "requests");
    gint64 deadline = g_get_monotonic_time() + HoldMeter::kSliceMicroseconds;
    std::size_t done = 0;
    for (; done < bridge->requests_.size() && g_get_monotonic_time() < deadline; ++done) {
        const std::string& path = bridge->requests_[done];
        if (bridge->isListed(path)) continue;  // its window's location came meanwhile
        bridge->process_->send("request " + path);
        ++bridge->counters_.requestsSent;
    }
    bridge->requests_.erase(bridge->requests_.begin(), bridge->requests_.begin() + static_cast<std::ptrdiff_t>(done));
    if (!bridge->requests_.empty()) return G_SOURCE_CONTINUE;
    bridge->requestSource_ = 0;
    return G_SOURCE_REMOVE;
}

bool NautilusBridge::isListed(const std::string& path) const { return shown_.count(parentFolder(path)) > 0; }

void NautilusBridge::onStarted() {
    for (const auto& folder : shown_) process_->send("show " + folder);
}

void NautilusBridge::onEnded() {
    board_.forgetAll();
    requests_.clear();
    declared_.clear();
    if (removalSource_ != 0) g_source_remove(removalSource_);
    removalSource_ = 0;
    checkAllLater(Check::Emblem);
}

void NautilusBridge::onFolders(const std::set<std::string>& folders) {
    std::set<std::string> shown;
    for (const auto& folder : folders) {
        if (fitsCommandLine(folder)) shown.insert(folder);
    }
    for (const auto& folder : shown_) {
        if (shown.count(folder) == 0) process_->send("hide " + folder);
    }
    for (const auto& folder : shown) {
        if (shown_.count(folder) == 0) process_->send("show " + folder);
    }
    shown_ = std::move(shown);
}

void NautilusBridge::onLine(const std::string& line) {
    std::string problem;
    std::optional<BoundaryCall> call = readBoundaryCall(line, problem);
    if (!call) {
        // Logged for the first few, then now and then: a process gone wrong must not flood the journal.
        if (++counters_.linesRefused <= 10 || counters_.linesRefused % 1000 == 0) {
            g_message("vantorix: dropped a line from the extension process (%s; %llu so far): %.120s", problem.c_str(),
                      static_cast<unsigned long long>(counters_.linesRefused), line.c_str());
        }
        return;
    }
    ++counters_.linesApplied;
    apply(*call);
}

void NautilusBridge::apply(BoundaryCall& call) {
    trace_.write(call.json);
    switch (call.kind) {
    case BoundaryCall::Kind::SetBadgeIdentifier:
        board_.setBadge(call.path, call.badge);
        checkLater(call.path, Check::Emblem);
        break;
    case BoundaryCall::Kind::SetDirectoryURLs:
        onObservedSet(std::set<std::string>(call.folders.begin(), call.folders.end()));
        break;
    case BoundaryCall::Kind::EndObserving:
        // No window shows the folder: its badges are forgotten, not taken from GNOME Files (it does not draw
        // them; an entry it shows elsewhere, as in an expanded list, is asked about again). Shown again, the
        // folder's entries get their badges afresh, and the ones GNOME Files holds otherwise are invalidated.
        board_.forgetEntriesOf(call.path);
        break;
    default:
        break;  // images are installed as icons; the rest is for the trace
    }
}

void NautilusBridge::onObservedSet(const std::set<std::string>& folders) {
    declared_ = folders;
    std::set<std::string> grown = board_.observed();
    grown.insert(folders.begin(), folders.end());
    if (grown != board_.observed()) applyObserved(std::move(grown));
    if (folders != board_.observed()) {
        if (removalSource_ == 0) removalSource_ = g_timeout_add(kRemovalDelayMs, onRemovalDue, this);
        return;
    }
    if (removalSource_ == 0) return;
    // The set came back as it was: a repaint. The items the module asked for are asked for again.
    g_source_remove(removalSource_);
    removalSource_ = 0;
    for (const auto& path : board_.takeRequested()) checkLater(path, Check::Always);
}

gboolean NautilusBridge::onRemovalDue(gpointer self) {
    auto* bridge = static_cast<NautilusBridge*>(self);
    HoldMeter::Scope hold(bridge->meter_, "observed set");
    bridge->removalSource_ = 0;
    bridge->applyObserved(bridge->declared_);
    return G_SOURCE_REMOVE;
}

// Items now outside lose their emblem; items now inside in folders the extension process does not list ask again,
// so that the module requests them.
void NautilusBridge::applyObserved(std::set<std::string> folders) {
    board_.setObserved(std::move(folders));
    checkAllLater(Check::Observed);
}

void NautilusBridge::checkLater(const std::string& path, Check check) {
    auto [it, added] = checkOf_.try_emplace(path, check);
    if (!added) {
        it->second = std::max(it->second, check);
        return;
    }
    checks_.push_back(path);
    if (invalidateSource_ == 0) invalidateSource_ = g_idle_add(onInvalidate, this);
}

void NautilusBridge::checkAllLater(Check check) {
    for (const auto& path : items_.paths()) checkLater(path, check);
}

bool NautilusBridge::needsAsking(const std::string& path, Check check) const {
    if (check == Check::Always) return true;
    if (check == Check::Observed && board_.isInsideObserved(path) && !isListed(path)) return true;
    return items_.showsOtherThan(path, board_.badgeOf(path));
}

gboolean NautilusBridge::onInvalidate(gpointer self) {
    auto* bridge = static_cast<NautilusBridge*>(self);
    HoldMeter::Scope hold(bridge->meter_, "invalidate");
    gint64 deadline = g_get_monotonic_time() + HoldMeter::kSliceMicroseconds;
    while (!bridge->checks_.empty()) {
        std::string path = std::move(bridge->checks_.front());
        bridge->checks_.pop_front();
        auto found = bridge->checkOf_.find(path);
        Check check = found->second;
        bridge->checkOf_.erase(found);
        if (bridge->needsAsking(path, check) && bridge->items_.invalidate(path)) ++bridge->counters_.invalidations;
        if (g_get_monotonic_time() >= deadline) return G_SOURCE_CONTINUE;
    }
    bridge->invalidateSource_ = 0;
    return G_SOURCE_REMOVE;
}

gboolean NautilusBridge::onStatsTimer(gpointer self) {
    auto* bridge = static_cast<NautilusBridge*>(self);
    HoldMeter::Scope hold(bridge->meter_, "stats");
    bridge->writeStats();
    return G_SOURCE_CONTINUE;
}

// The counters as one JSON object, rewritten in place as one block padded with spaces to a fixed size: a reader
// never sees a shorter file or half of one, and the thread never waits for the file system (replacing the file
// by a rename can make it flush).
void NautilusBridge::writeStats() const {
    if (statsFd_ < 0) return;
    nlohmann::ordered_json stats;
    stats["nautilusPid"] = static_cast<int>(::getpid());
    stats["extensionPid"] = static_cast<int>(process_ ? process_->pid() : 0);
    stats["extensionStarts"] = process_ ? process_->starts() : 0u;
    stats["updateFileInfo"] = counters_.updateFileInfo;
    stats["emblemsAdded"] = counters_.emblemsAdded;
    stats["requestsSent"] = counters_.requestsSent;
    stats["linesApplied"] = counters_.linesApplied;
    stats["linesDropped"] = counters_.linesRefused + (process_ ? process_->droppedLines() : 0);
    stats["invalidations"] = counters_.invalidations;
    stats["shownFolders"] = shown_.size();
    stats["heldItems"] = items_.size();
    stats["callbacks"] = meter_.callbacks();
    stats["longestHoldMs"] = static_cast<double>(meter_.longestMicroseconds()) / 1000.0;
    stats["longestHoldIn"] = meter_.longestCallback();
    stats["longestWallMs"] = static_cast<double>(meter_.longestWallMicroseconds()) / 1000.0;
    stats["longestCpuMs"] = static_cast<double>(meter_.longestCpuMicroseconds()) / 1000.0;
    std::string block = stats.dump();
    if (block.size() < kStatsBlock) block.resize(kStatsBlock - 1, ' ');
    block.push_back('\n');
    if (::pwrite(statsFd_, block.data(), block.size(), 0) < 0) g_message("vantorix: cannot write the counters: %s", g_strerror(errno));
}

}  // namespace vantorix::nautilus
