// A test that owns a simulated platform and, once started, the extension on it; and the tests' way inside the
// extension object.
#pragma once

#include "FileManagerModel.h"
#include "VantorixFinderSync.h"
#include "platforms/simulation/SimulatedPlatform.h"
#include "pipeline/Batches.h"
#include "protocol/Wire.h"

#include <gtest/gtest.h>

#include <set>

// The tests' one way inside the extension object: its operations and read-only views of its fields, each field
// read on the lock queue or thread that owns it.
namespace vantorix {

class VantorixFinderSyncTestPeer {
public:
    explicit VantorixFinderSyncTestPeer(VantorixFinderSync& extension) : e(extension) {}

    // The object as construction leaves it: badges registered, nothing subscribed, no background start.
    static std::shared_ptr<VantorixFinderSync> makeUnstarted(Platform& platform) {
        return std::make_shared<VantorixFinderSync>(VantorixFinderSync::ConstructionKey{}, platform);
    }

    static std::vector<std::string> texts(const std::vector<SharedPath>& paths) {
        std::vector<std::string> out;
        for (const auto& path : paths) out.push_back(path.str());
        return out;
    }

    // --- Fields ---
    bool waitingMode() { return e.waitingModeLock->syncValue([&] { return e.isInWaitingMode; }); }
    bool serverAvailable() { return e.serverCheckLock->syncValue([&] { return e.isServerAvailable; }); }
    std::optional<std::string> syncPath() { return e.syncPathLock->syncValue([&] { return e.currentSyncPath; }); }
    std::vector<std::string> batchQueue() { return e.batchLock->syncValue([&] { return texts(e.batchQueue); }); }
    std::vector<std::string> retryQueue() { return e.retryLock->syncValue([&] { return texts(e.retryQueue); }); }
    bool retryTimerRunning() { return e.retryLock->syncValue([&] { return e.retryTimerStarting || (e.retryTimer && e.retryTimer->isValid()); }); }
    std::size_t statusCacheSize() { return e.statusCacheLock->syncValue([&] { return e.statusCache.size(); }); }
    std::optional<CachedStatus> cacheEntry(const std::string& path) {
        return e.statusCacheLock->syncValue([&]() -> std::optional<CachedStatus> {
            auto found = e.statusCache.find(path);
            if (found == e.statusCache.end()) return std::nullopt;
            return found->second;
        });
    }
    std::vector<std::string> observedDirectories() {
        return e.observedDirLock->syncValue([&] {
            std::vector<std::string> paths;
            for (const auto& entry : e.observedDirectories) paths.push_back(entry.first);
            return paths;
        });
    }
    const std::shared_ptr<Timer>& reconnectTimer() const { return e.reconnectTimer; }        // main thread
    const std::shared_ptr<Timer>& cacheCleanupTimer() const { return e.cacheCleanupTimer; }  // main thread
    Semaphore& exchangeSemaphore() { return *e.semaphore; }
    void setSyncPath(const std::string& path) { e.syncPathLock->sync([&] { e.currentSyncPath = path; }); }
    void setWaitingMode(bool waiting) { e.waitingModeLock->sync([&] { e.isInWaitingMode = waiting; }); }

    // --- Operations ---
    void ensureMonitoringActive() { e.ensureMonitoringActive(); }
    void setupBadgeIdentifiers() { e.setupBadgeIdentifiers(); }
    bool pingServer() { return e.pingServer(); }
    std::optional<std::string> sendBatchStatusRequestSequential(const std::string& paths) { return e.sendBatchStatusRequestSequential(paths); }
    std::optional<std::string> getCurrentSyncPath() { return e.getCurrentSyncPath(); }
    std::optional<std::string> getCachedStatus(const std::string& path) { return e.getCachedStatus(path); }
    void setCachedStatus(const std::string& path, const std::string& badge) { e.setCachedStatus(path, badge); }
    void invalidateCache(const std::optional<std::string>& path, const std::string& reason) { e.invalidateCache(path, reason); }
    void performCacheCleanup() { e.performCacheCleanup(); }
    void addToBatchQueue(const std::string& path) { e.addToBatchQueue(path); }
    void processBatchesFromPaths(const std::vector<std::string>& paths) { e.processBatchesFromPaths({paths.begin(), paths.end()}); }
    void addToRetryQueue(const std::vector<std::string>& paths) { e.addToRetryQueue({paths.begin(), paths.end()}); }
    void checkServerAvailability() { e.checkServerAvailability(); }
    void enterWaitingMode(const std::string& reason) { e.enterWaitingMode(reason); }
    void exitWaitingMode(const std::string& reason) { e.exitWaitingMode(reason); }
    void refreshCurrentDirectoryBadges() { e.refreshCurrentDirectoryBadges(); }
    void startPollingDirectory(const std::string& path) { e.startPollingDirectory(path); }
    void stopPollingDirectory(const std::string& path) { e.stopPollingDirectory(path); }

private:
    VantorixFinderSync& e;
};

}  // namespace vantorix

namespace vantorix::testing {

using namespace std::chrono_literals;
using simulation::Availability;
using simulation::FileManagerCall;
using simulation::Reply;
using simulation::SimulatedPlatform;

// The `count` names "<prefix>0", "<prefix>1" and on.
inline std::vector<std::string> numbered(const std::string& prefix, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
    return names;
}

// A service that answers every request honestly: PONG, `folder`, and each path's code, the batches after `delay`.
inline simulation::ScriptedLocalService::Handler honestService(simulation::ScriptedLocalService& service, std::string folder, Duration delay = Duration(0)) {
    return [&service, folder, delay](const std::string& line) {
        if (line == "PING") return Reply::text("PONG\n");
        if (line == "GET_SYNC_PATH") return Reply::text(folder + "\n");
        if (line.rfind("BATCH_STATUS:", 0) == 0) return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n", delay);
        return Reply::text("ERROR: unknown request\n");
    };
}

// The sync folder, of `count` files, shown in the file manager stand-in, with the extension made as the entry
// point makes it; every call across the boundary also goes to `sink`.
struct ShownFolder {
    ShownFolder(SimulatedPlatform& platform, const std::string& folder, int count, session::FileManagerModel::EventSink sink = nullptr)
        : platform(platform), model(platform, std::move(sink)) {
        for (const auto& name : numbered("file", count)) files.push_back(folder + "/" + name);
        platform.addDirectory(folder, numbered("file", count));
        platform.localService().setSyncPath(folder);
        platform.setFinderSyncController(&model);
        extension = VantorixFinderSync::create(platform);
        model.attach(extension);
        model.show(folder);
    }
    ~ShownFolder() {
        extension.reset();
        platform.discardPendingWork();
        platform.setFinderSyncController(&platform.recordingFileManager());
    }
    // Whether every file shows the badge of its code at the service.
    bool badgesAreTheService() const {
        for (const auto& file : files) {
            if (model.badgeOf(file) != mapStatusToBadge(platform.localService().statusOf(file))) return false;
        }
        return true;
    }

    SimulatedPlatform& platform;
    session::FileManagerModel model;
    std::vector<std::string> files;
    std::shared_ptr<VantorixFinderSync> extension;
};

class SimulationTest : public ::testing::Test {
protected:
    ~SimulationTest() override {
        if (HasFailure()) {
            const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
            std::printf("replay this schedule: VANTORIX_SEED=%llu ctest --test-dir build -R '^%s.%s$'\n",
                        static_cast<unsigned long long>(platform.scheduleSeed()), test->test_suite_name(), test->name());
        }
        extension.reset();
        platform.discardPendingWork();  // the end of the process: whatever still holds the object lets go
    }

    // Makes the extension as the entry point does and runs its background start.
    void start() {
        extension = VantorixFinderSync::create(platform);
        platform.runUntilIdle();
    }

    // Starts with the service up and lets the sync-path loop learn the sync folder (3 s after start).
    void startWithSyncFolder(const std::string& folder = "/Users/someone/Vantorix") {
        platform.localService().setSyncPath(folder);
        start();
        platform.advanceBy(3s);
        ASSERT_EQ(peer().syncPath(), folder);
    }

    Duration now() const { return platform.elapsed(); }
    VantorixFinderSyncTestPeer peer() { return VantorixFinderSyncTestPeer(*extension); }

    std::vector<FileManagerCall> badgeCalls() {
        return platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeIdentifier);
    }

    std::vector<simulation::ReceivedRequest> batchRequests() { return platform.localService().requestsStartingWith("BATCH_STATUS:"); }
    // Every path the batch requests have asked for so far, as often as it was asked for.
    std::multiset<std::string> askedPaths() {
        std::multiset<std::string> paths;
        for (const auto& request : batchRequests()) {
            for (const auto& path : splitOnSeparator(request.line.substr(13))) paths.insert(path);
        }
        return paths;
    }

    SimulatedPlatform platform;
    std::shared_ptr<VantorixFinderSync> extension;
};

}  // namespace vantorix::testing
