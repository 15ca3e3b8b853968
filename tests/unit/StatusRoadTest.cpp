// The road of a status in virtual time: a badge request or a polling pass queues a path; the batch queue flushes
// it in batches of 50, at once or 0.03 s after the first path; a run asks the service and applies the answers on
// the main thread, setting only what changed according to the cache; a failed exchange hands its paths to the
// retry queue, tried every 3 s.
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

class StatusRoad : public SimulationTest {
protected:
    static std::vector<std::string> paths(int count, const std::string& prefix = "/S/f") {
        std::vector<std::string> result;
        for (int i = 0; i < count; ++i) result.push_back(prefix + std::to_string(i));
        return result;
    }
    // The paths string of every batch request, from the `from`-th on.
    std::vector<std::string> batches(std::size_t from = 0) {
        std::vector<std::string> lines;
        auto requests = batchRequests();
        for (std::size_t i = from; i < requests.size(); ++i) lines.push_back(requests[i].line.substr(13));
        return lines;
    }
    std::vector<std::size_t> batchSizes(std::size_t from = 0) {
        std::vector<std::size_t> sizes;
        for (const auto& line : batches(from)) sizes.push_back(countPieces(line));
        return sizes;
    }
    std::vector<std::string> badgesSet() {
        std::vector<std::string> set;
        for (const auto& call : badgeCalls()) set.push_back(call.url->path() + "=" + call.identifier);
        return set;
    }
};

TEST_F(StatusRoad, TheCacheKeepsSyncFiveSecondsOthersThirtyAndLosesItsOldestWhenFull) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    peer().setCachedStatus("/s", "sync");
    peer().setCachedStatus("/e", "error");
    peer().setCachedStatus("/d/", "shared");  // a trailing slash is another key
    platform.advanceBy(5s);
    EXPECT_EQ(peer().getCachedStatus("/s"), "sync");
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().getCachedStatus("/s"), std::nullopt);
    EXPECT_FALSE(peer().cacheEntry("/s"));  // the read dropped it
    EXPECT_EQ(peer().getCachedStatus("/d"), std::nullopt);
    platform.advanceBy(25s - 1ms);
    EXPECT_EQ(peer().getCachedStatus("/e"), "error");
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().getCachedStatus("/e"), std::nullopt);

    // Storing switches the time to live and restarts the age; the sweep applies the normal one to all.
    peer().setCachedStatus("/x", "success");
    platform.advanceBy(20s);
    peer().setCachedStatus("/x", "sync");
    platform.advanceBy(20s);
    peer().performCacheCleanup();
    EXPECT_TRUE(peer().cacheEntry("/x"));  // past its 5 s, but the sweep keeps it: the read drops it
    EXPECT_EQ(peer().getCachedStatus("/x"), std::nullopt);
    peer().setCachedStatus("/y", "success");
    platform.advanceBy(30s);
    peer().performCacheCleanup();
    EXPECT_TRUE(peer().cacheEntry("/y"));  // exactly 30 s
    platform.advanceBy(1ms);
    peer().performCacheCleanup();
    EXPECT_EQ(peer().statusCacheSize(), 0u);

    // Full: the oldest goes first, also when an existing path is stored again.
    for (const auto& path : paths(2000, "/p")) {
        peer().setCachedStatus(path, "success");
        platform.advanceBy(1ms);
    }
    peer().setCachedStatus("/new", "success");
    EXPECT_EQ(peer().statusCacheSize(), 2000u);
    EXPECT_FALSE(peer().cacheEntry("/p0"));
    peer().setCachedStatus("/p500", "error");
    EXPECT_EQ(peer().statusCacheSize(), 1999u);
    EXPECT_FALSE(peer().cacheEntry("/p1"));
    peer().invalidateCache("/p500", "any_reason");
    EXPECT_FALSE(peer().cacheEntry("/p500"));
    peer().invalidateCache(std::nullopt, "everything");
    EXPECT_EQ(peer().statusCacheSize(), 0u);
}

TEST_F(StatusRoad, BadgeRequestsQueueOnlyItemsInsideTheSyncFolderAndNeverAskTheCache) {
    startWithSyncFolder("/Users/me/Sync");
    auto queued = [&](const std::string& path) {
        platform.recordingFileManager().clear();
        std::size_t before = peer().batchQueue().size();
        extension->requestBadgeIdentifier(URL::fileURL(path));
        bool wasQueued = peer().batchQueue().size() > before;
        platform.runUntilIdle();
        if (!wasQueued) {
            EXPECT_THAT(badgesSet(), ElementsAre(path + "=")) << "a request not queued removes the badge";
        }
        return wasQueued;
    };
    EXPECT_TRUE(queued("/Users/me/Sync/a.txt"));
    EXPECT_TRUE(queued("/Users/me/Sync/deep/er/C# notes.txt"));
    EXPECT_FALSE(queued("/Users/me/Sync"));           // the folder itself never has a badge
    EXPECT_FALSE(queued("/Users/me/SyncOther/c"));     // a sibling sharing the prefix
    EXPECT_FALSE(queued("/Users/me/sync/a.txt"));      // case matters
    EXPECT_FALSE(queued("/elsewhere/a.txt"));
    EXPECT_FALSE(queued("/Users/me/Sync/pipe|name"));  // the request line cannot carry these
    EXPECT_FALSE(queued("/Users/me/Sync/bad\xFF"));
    extension->requestBadgeIdentifier(URL::fileURL("/Users/me/Sync/a.txt"));  // twice before the flush: once
    EXPECT_EQ(peer().batchQueue().size(), 2u);

    // The answer equals the cached badge: the file manager is not called again.
    platform.advanceBy(100ms);
    peer().setCachedStatus("/Users/me/Sync/b", "error");
    platform.localService().setStatus("/Users/me/Sync/b", "3");
    platform.recordingFileManager().clear();
    extension->requestBadgeIdentifier(URL::fileURL("/Users/me/Sync/b"));
    platform.advanceBy(30ms);
    EXPECT_TRUE(badgeCalls().empty());

    peer().setWaitingMode(true);
    EXPECT_FALSE(queued("/Users/me/Sync/c"));
}

TEST_F(StatusRoad, TheQueueFlushesAtFiftyOrThirtyMillisecondsAfterTheFirstPathAndHoldsInWaitingMode) {
    startWithSyncFolder("/S");
    std::size_t before = batchRequests().size();
    peer().addToBatchQueue("/S/a");
    peer().addToBatchQueue("/S/a");
    platform.advanceBy(29ms);
    EXPECT_EQ(batchRequests().size(), before);
    platform.advanceBy(1ms);
    EXPECT_THAT(batches(before), ElementsAre("/S/a"));
    EXPECT_FALSE(peer().batchTimerPending());

    // The fiftieth path flushes at once, inside its addition; 120 go out as 50, 50 and 20.
    before = batchRequests().size();
    auto many = paths(120);
    for (int i = 0; i < 50; ++i) peer().addToBatchQueue(many[static_cast<std::size_t>(i)]);
    EXPECT_TRUE(peer().batchQueue().empty());
    for (int i = 50; i < 120; ++i) peer().addToBatchQueue(many[static_cast<std::size_t>(i)]);
    platform.runUntilIdle();
    EXPECT_EQ(batchSizes(before), (std::vector<std::size_t>{50, 50}));
    platform.advanceBy(30ms);
    EXPECT_EQ(batchSizes(before), (std::vector<std::size_t>{50, 50, 20}));
    EXPECT_EQ(platform.recordingFileManager().badgeOf(many[119]), "success");

    // Entering waiting mode drops what was queued; later paths are held, then leave as 50, 50 and 30.
    peer().addToBatchQueue("/S/dropped");
    peer().enterWaitingMode("test");
    platform.runUntilIdle();
    EXPECT_TRUE(peer().batchQueue().empty());
    before = batchRequests().size();
    for (const auto& path : paths(130, "/S/held")) peer().addToBatchQueue(path);
    platform.advanceBy(1s);
    EXPECT_EQ(peer().batchQueue().size(), 130u);
    EXPECT_EQ(batchRequests().size(), before);
    peer().exitWaitingMode("test");
    platform.advanceBy(30ms);
    EXPECT_EQ(batchSizes(before), (std::vector<std::size_t>{50, 50, 30}));
}

TEST_F(StatusRoad, ARunPairsCodesByPositionAndSetsOnlyWhatChanged) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    auto& service = platform.localService();
    service.setStatus("/a", "0");
    service.setStatus("/b", "1");
    service.setStatus("/C# notes.txt", "3");
    peer().processBatchesFromPaths({"/a", "/b", "/C# notes.txt", "/x|y", "/bad\xFF", ""});
    EXPECT_TRUE(badgeCalls().empty());  // applied on the main thread, later
    platform.runUntilIdle();
    EXPECT_THAT(batches(), ElementsAre("/a|/b|/C# notes.txt"));  // a path the line cannot carry is never sent
    EXPECT_THAT(badgesSet(), ElementsAre("/a=success", "/b=sync", "/C# notes.txt=error"));
    EXPECT_EQ(badgeCalls()[2].url->absoluteString(), "file:///C%23%20notes.txt");

    // Unchanged badges are not set again, but stored again.
    platform.recordingFileManager().clear();
    platform.advanceBy(4s);
    service.setStatus("/C# notes.txt", "4");
    peer().processBatchesFromPaths({"/a", "/b", "/C# notes.txt"});
    platform.runUntilIdle();
    EXPECT_THAT(badgesSet(), ElementsAre("/C# notes.txt=exclude"));
    EXPECT_EQ(peer().cacheEntry("/a")->timestamp, platform.now());

    // The second of three batches fails: the others are applied, its paths wait for a retry.
    platform.recordingFileManager().clear();
    service.scriptNext({Availability::up, Duration(0), std::nullopt});
    service.scriptNext({Availability::up, Duration(0), Reply::text("0\n")});  // a wrong count
    peer().processBatchesFromPaths(paths(150, "/p"));
    platform.runUntilIdle();
    EXPECT_EQ(badgeCalls().size(), 100u);
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/p50"), std::nullopt);
    EXPECT_EQ(peer().retryQueue().front(), "/p50");
    EXPECT_EQ(peer().retryQueue().size(), 50u);
}

TEST_F(StatusRoad, FailedPathsAreRetriedEveryThreeSecondsInExchangesOfFiftyUntilTheyGetThrough) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    auto& service = platform.localService();
    service.setAvailability(Availability::refusing);
    peer().processBatchesFromPaths({"/a", "/b"});
    peer().addToRetryQueue({"/b", "/c"});
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a", "/b", "/c"}));
    service.setAvailability(Availability::up);
    service.setHandler([](const std::string&) { return Reply::text("ERROR: busy\n"); });
    platform.advanceBy(2999ms);
    EXPECT_TRUE(batchRequests().empty());
    platform.advanceBy(1ms);
    EXPECT_THAT(batches(), ElementsAre("/a|/b|/c"));
    platform.advanceBy(3s);
    EXPECT_EQ(peer().retryAttempts(), 2);
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a", "/b", "/c"}));

    // 5,000 more: the next pass sends exchanges of 50 in order and stops at its third, which fails.
    peer().addToRetryQueue(paths(4997, "/p"));
    service.setHandler([&service](const std::string& line) { return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n"); });
    service.scriptNext({Availability::up, Duration(0), std::nullopt});
    service.scriptNext({Availability::up, Duration(0), std::nullopt});
    service.scriptNext({Availability::up, Duration(0), Reply::closeWithoutAnswer()});
    std::size_t before = batchRequests().size();
    platform.advanceBy(3s);
    EXPECT_EQ(splitOnSeparator(batches(before)[2]).front(), "/p97");
    EXPECT_EQ(peer().retryQueue().size(), 4900u);
    EXPECT_EQ(peer().retryQueue().front(), "/p97");  // the failed exchange's paths first, then the unsent
    // The next pass gets everything through; the paths are asked for afresh and the timer stops.
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().retryQueue().empty());
    platform.advanceBy(1s);
    EXPECT_FALSE(peer().retryTimerRunning());
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/p4996"), "success");

    // A path handed over while a pass is under way finds the timer running: it is kept for the next pass.
    service.setHandler([&](const std::string& line) {
        if (line == "BATCH_STATUS:/r") peer().addToRetryQueue({"/late"});
        return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n");
    });
    peer().addToRetryQueue({"/r"});
    platform.advanceBy(3s);
    EXPECT_EQ(peer().retryQueue(), std::vector<std::string>{"/late"});
    platform.advanceBy(4s);
    EXPECT_TRUE(peer().retryQueue().empty());
    EXPECT_FALSE(peer().retryTimerRunning());
}

TEST_F(StatusRoad, PollingQueuesTheVisibleEntriesOfEachObservedFolderEveryOneAndAHalfSeconds) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    platform.addDirectory("/S/d", {"a.txt", ".DS_Store", ".hidden", "sub", "thumbs.db", "Thumbs.db", "desktop.ini", ".localized",
                                   ".Spotlight-V100", ".TemporaryItems", "pipe|name"});
    peer().startPollingDirectory("/S/d");
    platform.advanceBy(1s);
    peer().startPollingDirectory("/S/d");  // a restart: the first pass comes 1.5 s after it
    platform.advanceBy(1499ms);
    EXPECT_TRUE(peer().batchQueue().empty());
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().batchQueue(), (std::vector<std::string>{"/S/d/a.txt", "/S/d/.hidden", "/S/d/sub", "/S/d/thumbs.db"}));
    EXPECT_EQ(peer().observedDirectories(), std::vector<std::string>{"/S/d"});

    // Nothing is listed in waiting mode or while the folder is gone; the same timer finds it again.
    platform.advanceBy(30ms);
    peer().setWaitingMode(true);
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().batchQueue().empty());
    peer().setWaitingMode(false);
    platform.removeDirectory("/S/d");
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().batchQueue().empty());
    platform.addDirectory("/S/d", {"back"});
    platform.advanceBy(1470ms);  // the next pass, before its flush
    EXPECT_EQ(peer().batchQueue(), std::vector<std::string>{"/S/d/back"});

    // Stopping ends it; a path never started changes nothing; with a final slash it is another folder.
    peer().stopPollingDirectory("/never/started");
    peer().stopPollingDirectory("/S/d");
    platform.advanceBy(10s);
    EXPECT_TRUE(peer().observedDirectories().empty());
    peer().startPollingDirectory("/S/d/");
    platform.addDirectory("/S/d/", {"x"});
    platform.advanceBy(1500ms);
    EXPECT_EQ(peer().batchQueue().back(), "/S/d//x");
}

TEST_F(StatusRoad, OpeningAFolderDropsItsCacheStartsItsPollingAndRereadsTheSyncFolder) {
    startWithSyncFolder("/S");
    for (const char* path : {"/S/D", "/S/D/a", "/S/D/x/y", "/S/Docs", "/S/E/a"}) peer().setCachedStatus(path, "success");
    std::size_t requests = platform.localService().requests().size();
    extension->beginObservingDirectory(URL::fileURL("/S/D"));
    EXPECT_FALSE(peer().cacheEntry("/S/D/x/y"));
    EXPECT_FALSE(peer().cacheEntry("/S/Docs"));  // the plain prefix test takes the sibling too
    EXPECT_TRUE(peer().cacheEntry("/S/E/a"));
    extension->beginObservingDirectory(URL::fileURL("/S/D"));
    platform.runUntilIdle();
    std::vector<std::string> lines;
    for (std::size_t i = requests; i < platform.localService().requests().size(); ++i) lines.push_back(platform.localService().requests()[i].line);
    EXPECT_THAT(lines, ElementsAre("PING", "GET_SYNC_PATH", "PING", "GET_SYNC_PATH"));  // one update after the other
    EXPECT_THAT(peer().observedDirectories(), ElementsAre("/S", "/S/D"));

    // Closing stops the polling and leaves the cache alone.
    peer().setCachedStatus("/S/D/z", "sync");
    extension->endObservingDirectory(URL::fileURL("/S/D"));
    platform.runUntilIdle();
    EXPECT_THAT(peer().observedDirectories(), ElementsAre("/S"));
    EXPECT_TRUE(peer().cacheEntry("/S/D/z"));
}

}  // namespace
}  // namespace vantorix::testing
