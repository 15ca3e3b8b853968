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

#include "FileManagerModel.h"
#include "protocol/HostWire.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vantorix::session {

class HostRouter {
public:
    using HostId = std::uint64_t;
    using Deliver = std::function<void(HostId host, std::string lines)>;

    // The extension repaints a folder by emptying its observed set and putting it back half a second later, so
    // that a file manager asks about every item again. The hosts are given a set that loses folders only once it
    // has stayed so this long, and a set put back within it as one refresh line per folder: one wait here
    // rather than one in every host. A host given everything sees every set as it comes.
    static constexpr Duration kRepaintWindow = std::chrono::seconds(1);
    // The most items a host's asking is remembered for; the oldest are forgotten first.
    static constexpr std::size_t kRememberedRequests = 100000;

    HostRouter(Platform& platform, Deliver deliver);
    HostRouter(const HostRouter&) = delete;
    HostRouter& operator=(const HostRouter&) = delete;

    FileManagerModel& model() { return model_; }
    // The extension the stand-in calls, once the stand-in is its platform's file manager.
    void attach(std::shared_ptr<FinderSyncExtension> extension);

    void join(HostId host, bool everything, host::StatusAnswer::Host summary = {});
    // Everything the host showed is no longer shown by it; nothing more is delivered to it.
    void leave(HostId host);
    // Runs one command for the host: show, hide, request, post and status (wait and quit belong to the host's
    // transport). Returns what was wrong with it, or "".
    std::string run(HostId host, const host::Command& command);

    std::vector<host::StatusAnswer::Host> hosts() const;
    // Delivers every line not delivered yet (before the program ends).
    void flush();
    Duration now() const { return platform_.monotonicNow() - start_; }  // since the router started: the lines' "t"

private:
    struct Host {
        bool everything = false;
        host::StatusAnswer::Host summary;
        std::set<std::string> shown;
        std::unordered_set<std::string> requested;
        std::deque<std::string> requestOrder;  // requested, oldest first, to keep it bounded
        std::string pending;                   // lines not yet delivered
    };

    void show(HostId id, const std::string& folder);
    void hide(HostId id, const std::string& folder);
    void request(HostId id, const std::string& path);
    void route(const host::BoundaryCall& call);  // the stand-in's calls, under its lock
    // Under mutex_: a new observed set from the extension, and the set given to the hosts.
    void observedSet(const std::string& line, std::set<std::string> folders);
    void give(std::string line, std::set<std::string> folders);
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
    std::string observed_;                 // the setDirectoryURLs line the hosts were last given, likewise
    std::set<std::string> given_;          // its folders
    struct Held {
        std::string line;
        std::set<std::string> folders;
    };
    std::optional<Held> held_;  // a set that lost folders, not given yet: the window of a repaint runs
    std::uint64_t holds_ = 0;   // counts the holds: the end of an earlier window finds another number
    bool flushQueued_ = false;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // a flush queued after the router is gone does nothing
    FileManagerModel model_;                // last: its calls reach the router, which must exist
};

}  // namespace vantorix::session
