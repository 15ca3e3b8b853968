// The one object of the module in a GNOME Files process. It runs the extension in a process of its own
// (`vantorix-finder trace`), tells it which folders the windows show and which items GNOME Files asks about,
// and keeps what the extension answers, so that update_file_info answers at once from what is known and never
// waits for the extension or the network:
//   - show DIR / hide DIR follow the folders GNOME Files windows show (WindowLocations); the extension process
//     begins and ends observing them, lists them, asks for their entries' badges and re-lists them every second;
//   - request PATH for an item GNOME Files asks about that lies in the observed set but in a folder the
//     extension process does not list itself (a folder expanded in the list view, a search result), once; sent
//     0.2 s later, as GNOME Files asks about a new window's items just before it publishes its location;
//   - setBadgeIdentifier is remembered per item, and an item GNOME Files holds with another emblem is
//     invalidated, so it asks again and draws "emblem-vantorix-<badge>" (none for ""); such an asking never
//     turns into a request;
//   - setDirectoryURLs gives the observed set: folders added count at once, folders removed a second later
//     unless they come back (the extension repaints by emptying the set and putting it back half a second
//     later: then the items the module asked for are asked for again, and nothing flickers);
//   - endObservingDirectory forgets the badges of that folder's entries;
//   - when the extension process ends, every badge is forgotten until its successor sets them again.
// All of it runs on the main context in short slices (HoldMeter::kSliceMicroseconds).
#pragma once

#include "BadgeBoard.h"
#include "BoundaryCall.h"
#include "ExtensionProcess.h"
#include "HoldMeter.h"
#include "NautilusApi.h"
#include "ShownItems.h"
#include "TraceFile.h"
#include "WindowLocations.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantorix::nautilus {

struct BridgeSettings {
    std::string program;    // the extension program
    std::string tracePath;  // VANTORIX_TRACE: the boundary calls, as JSON lines ("" for none)
    std::string statsPath;  // VANTORIX_NAUTILUS_STATS: the module's counters and longest hold, as JSON ("" for none)

    // VANTORIX_EXTENSION_PROGRAM or the installed program; the two files above from their variables.
    static BridgeSettings fromEnvironment();
};

class NautilusBridge {
public:
    explicit NautilusBridge(BridgeSettings settings);
    ~NautilusBridge();  // ends the extension process and removes everything the bridge added to the main context
    NautilusBridge(const NautilusBridge&) = delete;
    NautilusBridge& operator=(const NautilusBridge&) = delete;

    // GNOME Files asks about an item: adds the emblem of the badge known now.
    void updateFileInfo(NautilusFileInfo* item);

private:
    struct Counters {
        std::uint64_t updateFileInfo = 0, emblemsAdded = 0, requestsSent = 0, linesApplied = 0, linesRefused = 0, invalidations = 0;
    };

    void onStarted();
    void onLine(const std::string& line);
    void onEnded();
    void onFolders(const std::set<std::string>& folders);
    void apply(BoundaryCall& call);
    void onObservedSet(const std::set<std::string>& folders);
    void applyObserved(std::set<std::string> folders);
    static gboolean onRemovalDue(gpointer self);
    bool isListed(const std::string& path) const;
    static gboolean onRequestsDue(gpointer self);
    // What the invalidation pump does with an item GNOME Files holds, decided when its turn comes.
    enum class Check {
        Emblem,    // invalidate it when it shows another emblem than its badge's
        Observed,  // the same, and also when it lies in the observed set outside the folders listed (to be requested)
        Always,    // invalidate it
    };
    void checkLater(const std::string& path, Check check);
    void checkAllLater(Check check);
    bool needsAsking(const std::string& path, Check check) const;
    static gboolean onInvalidate(gpointer self);
    static gboolean onStatsTimer(gpointer self);
    void writeStats() const;

    BridgeSettings settings_;
    HoldMeter meter_;
    Counters counters_;
    BadgeBoard board_;
    ShownItems items_;
    TraceFile trace_;
    std::set<std::string> shown_;     // the folders the extension process was told are shown
    std::set<std::string> declared_;  // the observed set as last declared, applied once removals are due
    guint removalSource_ = 0;
    std::vector<std::string> requests_;  // the module's requests, waiting to be sent
    guint requestSource_ = 0;
    std::deque<std::string> checks_;
    std::unordered_map<std::string, Check> checkOf_;
    guint invalidateSource_ = 0;
    guint statsSource_ = 0;
    int statsFd_ = -1;
    std::unique_ptr<ExtensionProcess> process_;
    std::unique_ptr<WindowLocations> locations_;
};

}  // namespace vantorix::nautilus
