// The one object of a host module in a file manager process: once the file manager first shows a folder, it joins
// the session service (ServiceLink, which starts the service when none runs), tells it which folders the file
// manager shows and which items it asks about, and keeps what the service answers, so that the file manager's
// question about an item is answered at once from what is known and never waits:
//   - show DIR / hide DIR follow the folders the file manager shows (setShownFolders, from the host's own way of
//     knowing them); the service begins and ends observing them, lists them, asks for their entries' badges and
//     re-lists them every second;
//   - request PATH for an item asked about that lies in the observed set but in a folder the service does not
//     list itself (a folder expanded in a list view, a search result), once; sent 0.2 s later, as a file manager
//     may ask about a new window's items just before it says which folder the window shows;
//   - setBadgeIdentifier is remembered per item, and an item held with another emblem is invalidated, so that the
//     file manager asks again and draws "emblem-vantorix-<badge>" (none for ""); such an asking never turns into
//     a request;
//   - setDirectoryURLs gives the observed set, at once: the service waits out the extension's repaints (the set
//     emptied and put back half a second later) and says refresh instead, so nothing flickers;
//   - refresh DIR: the items the module asked for are asked for again (the service lists the rest);
//   - endObservingDirectory forgets the badges of that folder's entries;
//   - when the connection to the service ends, every badge is forgotten until the service sets them again.
// All of it runs on the file manager's main loop in short slices (HoldMeter::kSliceMicroseconds).
#pragma once

#include "BadgeBoard.h"
#include "EventLoop.h"
#include "HoldMeter.h"
#include "ServiceLink.h"
#include "TraceFile.h"
#include "protocol/HostLines.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantorix::bridge {

// The icon a badge is drawn with: "emblem-vantorix-<badge>", from the hicolor theme's emblems.
std::string emblemName(const std::string& badge);

// The items the file manager holds and has asked about, each with the emblem it was last given: the host's side.
class HostItems {
public:
    virtual ~HostItems() = default;
    // Makes the file manager ask about the item again, when it still holds it; returns whether it does.
    virtual bool invalidate(const std::string& path) = 0;
    // Whether the file manager holds the item with another emblem than the badge's.
    virtual bool showsOtherThan(const std::string& path, const std::string& badge) const = 0;
    // Up to `most` paths of the items held, in order, those after `after` ("" for the first): a walk over all of
    // them goes in slices, whatever the file manager takes or lets go of between two.
    virtual std::vector<std::string> pathsAfter(const std::string& after, std::size_t most) const = 0;
    virtual std::size_t size() const = 0;
};

// HostItems::pathsAfter for items kept in a map ordered by path, as the hosts keep them.
template <typename ByPath>
std::vector<std::string> pathsAfter(const ByPath& items, const std::string& after, std::size_t most) {
    std::vector<std::string> paths;
    for (auto it = items.upper_bound(after); it != items.end() && paths.size() < most; ++it) paths.push_back(it->first);
    return paths;
}

struct BridgeSettings {
    std::string host;              // the file manager, as logs, the trace and the counters name it ("nautilus", ...)
    std::string runtimeDirectory;  // XDG_RUNTIME_DIR
    std::string tracePath;         // VANTORIX_TRACE: the boundary calls, as JSON lines ("" for none)
    std::string statsPath;         // VANTORIX_HOST_STATS: the module's counters and longest hold, as JSON ("" for none)

    // From the environment. In VANTORIX_HOST_STATS, "%h" stands for the host's name and "%p" for the process's
    // id; `legacyStats` names a variable read when VANTORIX_HOST_STATS is not set.
    static BridgeSettings fromEnvironment(std::string host, const char* legacyStats = nullptr);
};

class HostBridge {
public:
    HostBridge(EventLoop& loop, HostItems& items, BridgeSettings settings);
    ~HostBridge();  // leaves the service and removes everything the bridge added to the loop
    HostBridge(const HostBridge&) = delete;
    HostBridge& operator=(const HostBridge&) = delete;

    // The file manager asks about an item: the badge to draw now ("" for none). The host then remembers the item
    // with that badge in its HostItems.
    std::string badgeFor(const std::string& path);
    // The local folders the file manager shows now, however it knows them.
    void setShownFolders(const std::set<std::string>& folders);
    const std::set<std::string>& shownFolders() const { return shown_; }
    HoldMeter& meter() { return meter_; }
    // The host gives the item the badge's emblem (none for ""), before it remembers the item in its HostItems:
    // counted, and traced when the item showed another emblem before (a change reaching the user, which the
    // benchmarks time from the local service's change on).
    void emblemGiven(const std::string& path, const std::string& badge);

private:
    struct Counters {
        std::uint64_t itemsAsked = 0, emblemsGiven = 0, requestsSent = 0, linesApplied = 0, linesRefused = 0, invalidations = 0;
        std::uint64_t itemsUncarried = 0;  // asked about, but no line to the service or the local service can carry the name
        double lastEmblemAt = 0;  // when the last emblem was given, in seconds since 1970 (for the benchmarks)
    };
    // What the invalidation pump does with an item the file manager holds, decided when its turn comes.
    enum class Check {
        Emblem,    // invalidate it when it shows another emblem than its badge's
        Observed,  // the same, and also when it lies in the observed set outside the folders listed (to be requested)
        Always,    // invalidate it
    };

    void onJoined();
    void onLine(const std::string& line);
    void onEnded();
    void apply(const host::BoundaryCall& call, nlohmann::ordered_json& json);
    void applyObserved(std::set<std::string> folders);
    bool isListed(const std::string& path) const;
    bool sendRequests();
    void checkLater(const std::string& path, Check check);
    void checkAllLater(Check check);
    void pumpChecks();
    bool needsAsking(const std::string& path, Check check) const;
    bool invalidateSome();
    void writeStats() const;
    void warn(const std::string& message) const { loop_.log(EventLoop::LogLevel::warning, message); }

    EventLoop& loop_;
    HostItems& items_;
    BridgeSettings settings_;
    HoldMeter meter_;
    Counters counters_;
    BadgeBoard board_;
    std::unique_ptr<TraceFile> trace_;
    std::set<std::string> shown_;     // the folders the service was told are shown
    std::vector<std::string> requests_;  // the module's requests, waiting to be sent
    EventLoop::SourceId requestSource_ = 0;
    std::unordered_map<std::string, Check> checkOf_;  // the items waiting to be checked, each once
    std::deque<const std::string*> checks_;           // their paths (keys of checkOf_), in the order they came
    // A check of every item held, in the order of their paths: the check and the last path checked.
    struct Sweep {
        Check check;
        std::string after;
    };
    std::optional<Sweep> sweep_;
    EventLoop::SourceId invalidateSource_ = 0;
    EventLoop::SourceId statsSource_ = 0;
    int statsFd_ = -1;
    std::unique_ptr<ServiceLink> link_;
    bool joining_ = false;  // the link was started: a folder was shown
    bool ended_ = false;    // the bridge is being destroyed: its last counters say so
};

}  // namespace vantorix::bridge
