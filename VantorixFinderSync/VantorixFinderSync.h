// The file-manager sync extension: one long-lived object that answers the file manager's badge requests from
// the local service's status answers.
//
// The file manager calls the three FinderSyncExtension entry points on threads of its choosing; they never wait
// for the network. Paths go into the batch queue, are sent to the local service in batches on background
// queues, and come back as badges set on the main thread, skipping unchanged ones through the status cache.
// Supervision keeps the sync folder, the service's health and the waiting mode up to date; polling re-lists the
// visible folders; notifications from the local service push changes in.
//
// The public surface is what the file manager and the notification center call, plus construction. Everything
// else is private; tests reach inside through VantorixFinderSyncTestPeer.
//
// Threads and locks. Every mutable field names its owner below: a lock queue (a serial queue used only through
// sync()) or the main thread. Lock blocks are short field accesses; no network exchange runs under a lock queue
// or on the main thread. Where two lock queues nest, batchLock is taken before waitingModeLock, never the
// reverse. No operation calls sync() on a lock queue it already runs on.
//
// Bounded work. Every batch status exchange runs on one serial queue, runQueue: the runs of flushes, the runs of
// notified paths and the retry passes, one after another. So a large folder or a flood of notifications costs
// queued paths, not parked threads, and runs never wait on one another for the connection. A path already
// queued, or handed to a run that has not ended, is not queued again. The sync-path loop runs on requestQueue;
// the main thread sets badges, timers and the observed set and lists the polled folders, and never waits for
// the local service.
//
// Lifetime. The object is held by std::shared_ptr and made by create(). Work that must keep the object alive
// captures a shared_ptr; work that must not captures a weak_ptr and does nothing once the object is gone. The
// destructor is the teardown: it cancels the timers, empties the collections and ends the notification
// subscriptions.
//
// Each member function is defined in the subsystem folder named beside it.
#pragma once

#include "cache/CachedStatus.h"
#include "core/BadgeCatalogue.h"
#include "pipeline/Batches.h"
#include "pipeline/SharedPath.h"
#include "polling/PassPaths.h"
#include "platform/Platform.h"
#include "service/ServiceExchange.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantorix {

using namespace std::chrono_literals;

// The status cache's configuration.
struct CacheConfig {
    std::int64_t maxEntries = 2000;  // the most entries the cache holds
    Duration ttl = 30s;              // time to live of an entry
    Duration cleanupInterval = 60s;  // period of the sweep
    Duration aggressiveTtl = 5s;     // time to live of a "sync" entry
};

// The batch queue's configuration.
struct BatchConfig {
    std::int64_t maxSize = kBatchSize;  // queue length that flushes at once: one whole batch
    Duration timeout = 30ms;            // delay of the flush timer after the first queued path
};

// The extension's log handle: every entry carries the extension's subsystem; the platform decides where it goes.
class Logger {
public:
    Logger(Platform& platform, std::string subsystem) : platform_(platform), subsystem_(std::move(subsystem)) {}
    bool logs(LogLevel level) const { return platform_.logs(level); }
    void operator()(LogLevel level, const std::string& category, const std::string& message, std::vector<LogField> fields = {}) const {
        if (!logs(level)) return;
        fields.push_back({"subsystem", subsystem_});
        platform_.log(level, category, message, std::move(fields));
    }

private:
    Platform& platform_;
    const std::string subsystem_;
};

class VantorixFinderSync final : public FinderSyncExtension, public std::enable_shared_from_this<VantorixFinderSync> {
    struct ConstructionKey {};  // only create() makes the object: start-up needs shared_from_this()

public:
    // Makes the extension object and starts it: the badges are registered and the notifications subscribed
    // before it returns; the first ping and everything after it run on a background queue.
    static std::shared_ptr<VantorixFinderSync> create(Platform& platform);
    // The object the extension entry point makes: on the process's real platform.
    static std::shared_ptr<VantorixFinderSync> create();

    VantorixFinderSync(ConstructionKey, Platform& platform);
    ~VantorixFinderSync() override;  // the teardown
    VantorixFinderSync(const VantorixFinderSync&) = delete;
    VantorixFinderSync& operator=(const VantorixFinderSync&) = delete;

    // --- Entry points of the file manager (core/), any thread ---
    void requestBadgeIdentifier(const URL& url) override;   // core/BadgeRequests.cpp
    void beginObservingDirectory(const URL& url) override;  // core/DirectoryObservation.cpp
    void endObservingDirectory(const URL& url) override;    // core/DirectoryObservation.cpp

    // --- Entry points of the notification center (notifications/), any thread; they parse and return ---
    void handleStatusChangeNotification(const Notification& notification);
    void handleSharedStatusNotification(const Notification& notification);
    void handleReadonlyStatusNotification(const Notification& notification);

    // Whether the extension is waiting for the local service now, for a host's status line. Any thread.
    bool isWaitingForLocalService();  // core/Lifecycle.cpp, as are the two below
    // The sync folder the local service named last, for a host's status line. Any thread.
    std::optional<std::string> syncFolder();
    // The work under way, for a host's status line and for soak tests: paths queued for a flush, in runs that
    // have not ended, and waiting for a retry. Any thread.
    struct Backlog {
        bool waiting;
        std::size_t queued;
        std::size_t inFlight;
        std::size_t retrying;
    };
    Backlog backlog();

private:
    friend class VantorixFinderSyncTestPeer;

    // --- Lifecycle (core/Lifecycle.cpp) ---
    void start();  // subscribes to the notifications and hands the first ping to a background queue
    void runBackgroundStart();

    // --- Badge catalogue (core/BadgeCatalogue.cpp) ---
    void setupBadgeIdentifiers();
    std::optional<Image> loadIconFromFile(const std::string& fileName);
    std::string mapStatusToBadge(const std::string& status) const { return vantorix::mapStatusToBadge(status); }

    // --- Local service client (service/) ---
    // Each blocks its caller for one exchange on a fresh connection, within the exchange's deadlines.
    ExchangeOutcome exchangeWithService(const ExchangeParameters& parameters);
    bool pingServer();  // true only for "PONG"; touches no field
    // One exchange at a time (the semaphore, semaphoreWait); every outcome enters or leaves waiting mode, and a failure
    // hands the paths to the retry queue. The trimmed answer, or nothing.
    std::optional<std::string> sendBatchStatusRequestSequential(const std::string& pathsString);
    std::optional<std::string> getCurrentSyncPath();  // a PING first; nothing on any failure or "ERROR:"

    // --- Status cache (cache/): each operation is one block on statusCacheLock; callable from any thread but
    // never from inside a block on statusCacheLock ---
    void startCacheCleanup();
    void setCachedStatus(const SharedPath& path, const std::string& badge);
    void invalidateCache(const std::optional<std::string>& path, const std::string& reason);
    // Drops the entries of every path that begins with `prefix` (an opened directory's, and its siblings' that
    // share the prefix).
    void invalidateCacheWithPrefix(const std::string& prefix);
    void performCacheCleanup();
    // The entries of a polled folder's items are kept whatever the limit; the rest count against it.
    void setCacheFolderShown(const std::string& folder, bool shown);
    // Each path at the given places that the cache holds is replaced by the cache's own, so that both share its text.
    void shareCachedPaths(std::vector<SharedPath>& paths, const std::vector<std::size_t>& places);
    // On statusCacheLock: the bodies of getCachedStatus and setCachedStatus, for callers that hold the lock.
    std::optional<std::string> lookUpCachedStatus(const SharedPath& path, WallTime now);
    void storeCachedStatus(const SharedPath& path, const std::string& badge, WallTime now);
    // On statusCacheLock: stores a result's badge (none for "") and says whether it differs from the fresh entry.
    bool recordCachedStatus(const SharedPath& path, const std::string& badge, WallTime now);
    // On statusCacheLock: removes an entry and its place in the eviction order.
    void eraseCacheEntry(PathTable<CachedStatus>::iterator entry);
    // On statusCacheLock: removes the entries `drop` picks, and their places in the eviction order.
    template <typename Drop>
    void eraseCacheEntries(Drop drop);

    // --- Batch and retry pipeline (pipeline/) ---
    void addToBatchQueue(const std::string& path);  // any thread; never waits for the network
    void addToBatchQueue(std::vector<SharedPath> paths);  // the same for each path, in order, in one lock block
    // Empties the batch queue (its paths neither sent nor retried) and withdraws its flush timer. Any thread, not
    // from inside a block on batchLock.
    void dropBatchQueue();
    void processBatchQueue();  // runs on batchLock
    void ensureFlushScheduled();  // runs on batchLock: a flush is on its way whenever paths are queued
    void scheduleFlushTimer();  // runs on batchLock
    // Blocks for every exchange of the run; the badges follow in one main-queue pass. processSequentialBatches
    // keeps the design's startTime parameter, which it never reads.
    void processBatchesFromPaths(const std::vector<SharedPath>& paths);
    void processSequentialBatches(const std::vector<std::vector<SharedPath>>& batches, MonotonicTime startTime);
    void updateAllIconsFromResults(const std::vector<BatchResult>& results);  // main thread only
    // Notified paths wait here, each once, until one run on runQueue asks for all of them (pipeline/NotifiedRuns.cpp).
    void addNotifiedPaths(const std::vector<std::string>& paths);  // any thread
    void runNotifiedPaths();  // runQueue
    void addToRetryQueue(const std::vector<SharedPath>& paths);  // any thread, also inside an exchange
    void startRetryTimer();
    void processRetryQueue();  // main thread, from the retry timer: queues one pass on runQueue
    void runRetryPass();  // runQueue
    void runRetryStop();

    // --- Connection supervision (supervision/) ---
    void startServerMonitoring();
    void checkServerAvailability();  // blocks for a PING (and the folder query on a reconnection); never main
    // Idempotent: only the call that changes the mode has effects. Not from inside a block on waitingModeLock,
    // batchLock, serverCheckLock or statusCacheLock. `cause` says what failed, for the log.
    void enterWaitingMode(const std::string& reason, const std::string& cause = "");
    void exitWaitingMode(const std::string& reason);
    void updateSyncPath();  // blocks for the folder query; nothing in waiting mode
    void startSyncPathRetryLoop();
    void retryGetSyncPath();
    void refreshCurrentDirectoryBadges();

    // --- Directory polling (polling/): starts and stops take effect on the main thread ---
    void startPollingDirectory(const std::string& path);
    void stopPollingDirectory(const std::string& path);
    void pollVisibleFiles(const std::string& path);  // main thread, from a polling timer

    // --- Notification intake (notifications/) ---
    void registerDistributedNotificationObservers();

    std::weak_ptr<VantorixFinderSync> weakSelf() { return weak_from_this(); }

    Platform& platform;

    // --- Fields, each with its owner ---
    const Logger logger;                                  // constant
    const std::unique_ptr<DispatchQueue> requestQueue;    // serial "com.vantorix.socket.queue", user-initiated
    const std::unique_ptr<Semaphore> semaphore;           // count 1: one batch exchange at a time
    static constexpr Duration semaphoreWait = 5s;         // how long a batch exchange waits for its turn
    const std::unique_ptr<DispatchQueue> runQueue;        // serial "com.vantorix.batch.runs": every batch exchange runs here
    std::optional<std::string> currentSyncPath;           // guarded by syncPathLock
    const std::unique_ptr<DispatchQueue> syncPathLock;
    bool isServerAvailable = false;                       // guarded by serverCheckLock
    const Duration serverCheckInterval = 10s;
    const Duration waitingModeCheckInterval = 3s;
    // The repaints (refreshCurrentDirectoryBadges) after waiting mode is entered, after it is left and after a
    // check finds the service back; and how long a repaint leaves the observed set empty before restoring it.
    static constexpr Duration repaintAfterEntering = 200ms;
    static constexpr Duration repaintAfterLeaving = 300ms;
    static constexpr Duration repaintAfterReconnection = 500ms;
    static constexpr Duration repaintEmptySet = 500ms;
    const std::unique_ptr<DispatchQueue> serverCheckLock;
    std::shared_ptr<Timer> reconnectTimer;                // main thread
    const Duration syncPathCheckInterval = 5s;
    // The sync-path loop: its first iteration comes syncPathFirstDelay after start-up; the next ones come
    // syncPathCheckInterval after one that began with a folder known, syncPathUnknownInterval after one that began
    // without (two rules that happen to give the same period today).
    static constexpr Duration syncPathFirstDelay = 3s;
    static constexpr Duration syncPathUnknownInterval = 5s;
    bool isInWaitingMode = false;                         // guarded by waitingModeLock
    const std::unique_ptr<DispatchQueue> waitingModeLock;
    PathTable<CachedStatus> statusCache;                  // guarded by statusCacheLock
    // Guarded by statusCacheLock: the entries the limit may evict (those outside shownFolders), oldest first, and
    // the folders being polled, whose items' entries stay however many there are.
    std::set<std::pair<WallTime, SharedPath>> cacheEvictionOrder;
    std::set<std::string, std::less<>> cacheShownFolders;
    const std::unique_ptr<DispatchQueue> statusCacheLock;
    const CacheConfig cacheConfig;
    std::shared_ptr<Timer> cacheCleanupTimer;             // main thread
    std::vector<SharedPath> batchQueue;                   // guarded by batchLock
    const std::unique_ptr<DispatchQueue> batchLock;
    std::shared_ptr<Timer> batchTimer;                    // guarded by batchLock; made on the main thread, invalidated there or by a flush
    bool batchTimerPending = false;                       // guarded by batchLock: a timer creation is on its way to the main thread
    // Guarded by batchLock: the paths of batchQueue and those flushed to a run that has not ended, for the duplicate
    // test: one set, so that a path costs one entry from its queueing to its answer.
    PathSet pathsUnderWay;
    std::vector<SharedPath> notifiedPaths;                // guarded by batchLock: notified, waiting for their run
    PathSet notifiedMembers;                              // guarded by batchLock: the paths of notifiedPaths
    bool notifiedRunQueued = false;                       // guarded by batchLock: a run of notifiedPaths is on runQueue
    const BatchConfig batchConfig;
    std::vector<SharedPath> retryQueue;                   // guarded by retryLock
    PathSet retryQueueMembers;                            // guarded by retryLock: the paths of retryQueue, for the duplicate test
    const std::unique_ptr<DispatchQueue> retryLock;
    std::shared_ptr<Timer> retryTimer;                    // guarded by retryLock; made and replaced on the main thread, stopped on runQueue
    bool retryTimerStarting = false;                      // guarded by retryLock: a start is on its way to the main thread
    bool retryPassQueued = false;                         // guarded by retryLock: a pass waits on runQueue
    const Duration retryInterval = 3s;
    std::map<std::string, std::shared_ptr<Timer>> observedDirectories;  // guarded by observedDirLock
    const std::unique_ptr<DispatchQueue> observedDirLock;
    // Main thread: each polled folder's paths of its last pass, so that the next pass shares them rather than
    // making them again; a folder's are dropped when its polling stops.
    std::map<std::string, PassPaths, std::less<>> polledPaths;
    const Duration pollingInterval = 1500ms;
    static constexpr std::size_t pollingChunk = 500;      // a polled folder's paths are queued this many per lock block
    std::atomic<int> reportedStrangerUid{-1};             // atomic: the stranger on the port last reported, so each is logged once

    // --- Kept from the design, never run: none of these changes what the extension does ---
    // The lazy restart. Construction marks monitoring active and nothing marks it inactive, so requestBadgeIdentifier
    // never submits it and, called anyway, its block returns at once.
    void ensureMonitoringActive();                        // would start the loops and the sweep of an object that had none
    bool isMonitoringActive = false;                      // guarded by monitoringLock: true from construction on
    std::atomic<bool> monitoringKnownActive{false};       // isMonitoringActive for a lock-free test; true from construction on
    const std::unique_ptr<DispatchQueue> monitoringLock;  // guards isMonitoringActive; only the restart's block runs on it
    // A cache read by path; the extension reads through recordCachedStatus, only tests call it.
    std::optional<std::string> getCachedStatus(const std::string& path);  // cache/StatusCache.cpp
    // Written, never read.
    WallTime lastServerCheck;                             // guarded by serverCheckLock: when the last check ran
    bool hasPerformedInitialPing = false;                 // guarded by waitingModeLock: the first ping has answered
    std::int64_t retryAttempts = 0;                       // guarded by retryLock: non-empty retry passes since the timer started
};

}  // namespace vantorix
