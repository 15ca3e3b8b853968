// The one file manager the extension sees, shared by the hosts that joined it. It runs the stand-in (the shown
// folders, the observed set, the badges) and gives each host the lines that concern it:
//   - every host: the badges registered and the observed set (setBadgeImage, setDirectoryURLs), replayed to a
//     host when it joins;
//   - the hosts that show a folder: beginObservingDirectory and endObservingDirectory for it, and the
//     requestBadgeIdentifier and setBadgeIdentifier lines of its entries;
//   - the hosts that asked about an item: that item's lines.
// A folder is shown while any host shows it: the stand-in shows it when the first host does and hides it when
// the last one does, so two hosts showing one folder cost the local service what one does. A host that shows a
// folder another host already shows is given at once what is known of it (its observation and its entries'
// badges); a host that stops showing a folder others still show is told its observation ended. A host asking
// about an item whose badge is known is given it at once, and the request goes on to the extension.
// A host joined with `everything` (trace mode's one host) is given every line as it happens, and nothing is
// replayed to it.
//
// Threads: join, leave, run and the queries run on the main thread; lines may also come from the thread that
// registers a badge. Lines reach `deliver` in order for each host: the lines of one burst (the block that made
// them) together, as soon as the burst ends, or every 64 KB of a long one.
#pragma once

#include "FinderStandIn.h"
#include "HostLines.h"
#include "protocol/HostWire.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vantorix::finder {

class HostRouter {
public:
    using HostId = std::uint64_t;
    using Deliver = std::function<void(HostId host, std::string lines)>;

    // The most items a host's asking is remembered for; the oldest are forgotten first.
    static constexpr std::size_t kRememberedRequests = 100000;

    HostRouter(Platform& platform, Deliver deliver);
    HostRouter(const HostRouter&) = delete;
    HostRouter& operator=(const HostRouter&) = delete;

    FinderStandIn& standIn() { return standIn_; }
    // The extension the stand-in calls, once the stand-in is its platform's file manager.
    void attach(std::shared_ptr<FinderSyncExtension> extension);

    void join(HostId host, bool everything, HostSummary summary = {});
    // Everything the host showed is no longer shown by it; nothing more is delivered to it.
    void leave(HostId host);
    // Runs one command for the host: show, hide, request, post and status (wait and quit belong to the host's
    // transport). Returns what was wrong with it, or "".
    std::string run(HostId host, const host::Command& command);

    std::vector<HostSummary> hosts() const;
    // Delivers every line not delivered yet (before the program ends).
    void flush();
    Duration now() const { return platform_.monotonicNow() - start_; }  // since the router started: the lines' "t"

private:
    struct Host {
        bool everything = false;
        HostSummary summary;
        std::set<std::string> shown;
        std::unordered_set<std::string> requested;
        std::deque<std::string> requestOrder;  // requested, oldest first, to keep it bounded
        std::string pending;                   // lines not yet delivered
    };

    void show(HostId id, const std::string& folder);
    void hide(HostId id, const std::string& folder);
    void request(HostId id, const std::string& path);
    void route(const FinderEvent& event);  // the stand-in's calls, under its lock
    // Under mutex_: one line for a host; delivery follows when the burst ends.
    void queueLine(HostId id, Host& host, const std::string& line);
    void eachInterested(const std::string& path, bool itemOfFolder, const std::function<void(HostId, Host&)>& call);

    Platform& platform_;
    const MonotonicTime start_;
    Deliver deliver_;
    std::shared_ptr<FinderSyncExtension> extension_;
    mutable std::mutex mutex_;  // guards what follows; taken after the stand-in's own lock, never before
    std::map<HostId, Host> hosts_;
    std::unordered_map<std::string, std::set<HostId>> shownBy_;      // folder -> the hosts showing it
    std::unordered_map<std::string, std::set<HostId>> requestedBy_;  // item -> the hosts that asked about it
    std::vector<std::string> registered_;  // the setBadgeImage lines so far, for hosts that join later
    std::string observed_;                 // the last setDirectoryURLs line, likewise
    bool flushQueued_ = false;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // a flush queued after the router is gone does nothing
    FinderStandIn standIn_;                // last: its calls reach the router, which must exist
};

}  // namespace vantorix::finder
