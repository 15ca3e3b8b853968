// The file manager of our platform: it loads an extension, shows folders, asks for badges and keeps what the
// extension tells it. Both programs modes (trace and browse) and the scenario tests drive it.
//
// The rules it follows: a shown directory is observed when it equals a directory of the observed set or lies
// below one. When a shown directory becomes observed (it is shown, or the set changes to cover it, including
// when it is removed and put back) the stand-in calls beginObservingDirectory for it and then
// requestBadgeIdentifier for each of its entries, in name order; while it stays observed it re-lists it every
// second and asks for entries that appeared; when it stops being observed it calls endObservingDirectory and
// forgets its badges. Setting the same observed set again changes nothing.
//
// Threads: show(), hide(), request() and the extension's setBadgeIdentifier and setDirectoryURLs calls run on
// the main thread; setBadgeImage may come from any thread. Every call across the boundary is reported to the
// event sink, in the order it happens.
#pragma once

#include "FolderBadges.h"
#include "platform/Platform.h"
#include "protocol/HostLines.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vantorix::session {

struct RegisteredBadge {
    std::string label;
    std::string image;
};

class FileManagerModel final : public FinderSyncController {
public:
    using EventSink = std::function<void(const host::BoundaryCall&)>;

    FileManagerModel(Platform& platform, EventSink sink);
    ~FileManagerModel() override;

    // The extension whose callbacks the stand-in calls. Until it is attached, nothing is called.
    void attach(std::shared_ptr<FinderSyncExtension> extension);

    // --- The user's actions (main thread) ---
    void show(const std::string& directory);
    void hide(const std::string& directory);
    // Asks the extension for one item's badge.
    void request(const std::string& path);

    // --- What the stand-in knows (main thread, but registeredBadges() from any thread) ---
    std::map<std::string, RegisteredBadge> registeredBadges() const;
    // The badge word shown for an item of a shown directory; "" when none.
    std::string badgeOf(const std::string& path) const;
    std::set<std::string> observedDirectories() const;  // the observed set, as paths
    bool isObserved(const std::string& directory) const;
    bool isShown(const std::string& directory) const { return shown_.count(directory) > 0; }
    std::vector<std::string> shownDirectories() const;
    // The entries of a shown, observed directory that have a badge, as (path, badge), in name order.
    std::vector<std::pair<std::string, std::string>> badgesIn(const std::string& directory) const;

    // --- FinderSyncController ---
    void setBadgeImage(const Image& image, const std::string& label, const std::string& identifier) override;
    void setBadgeIdentifier(const std::string& identifier, const URL& url) override;
    void setDirectoryURLs(const std::set<URL>& urls) override;

private:
    struct ShownDirectory {
        bool observed = false;
        // The names asked for while observed: the listing they came from, shared with the platform's kept one,
        // and their places in it in name order.
        DirectoryNames listed;
        std::vector<std::uint32_t> byName;
        std::size_t listing = 0;  // a fingerprint of the last listing, as the file system gave it
        template <typename Call>
        void eachName(const Call& call) const {
            for (std::uint32_t at : byName) call((*listed)[at]);
        }
        void forgetNames() {
            listed = nullptr;
            byName = {};
        }
    };
    void emit(const host::BoundaryCall& call);
    void startObserving(const std::string& directory, ShownDirectory& shown);
    void stopObserving(const std::string& directory, ShownDirectory& shown);
    void relistObserved();
    void requestEntries(const std::string& directory, ShownDirectory& shown);
    static std::size_t fingerprint(const std::vector<std::string>& names);

    Platform& platform_;
    EventSink sink_;
    std::shared_ptr<FinderSyncExtension> extension_;
    mutable std::mutex mutex_;  // guards registered_ and orders the events
    std::map<std::string, RegisteredBadge> registered_;
    std::set<std::string> observed_;                // main thread
    std::map<std::string, ShownDirectory> shown_;   // main thread
    FolderBadges badges_;                           // main thread
    std::shared_ptr<Timer> relistTimer_;            // main thread
};

// An absolute path without a trailing slash, relative paths taken from the working directory.
std::string absolutePath(const std::string& path);

}  // namespace vantorix::session
