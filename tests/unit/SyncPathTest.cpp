// Sync folder tracking in virtual time: the loop at 3 s, then 5 s after each query has returned; the observed
// set and the polling on every success; the cache emptied only for a new path.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class SyncPath : public SimulationTest {
protected:
    std::vector<double> syncPathQueryTimes() {
        std::vector<double> times;
        for (const auto& request : platform.localService().requestsStartingWith("GET_SYNC_PATH")) times.push_back(toSeconds(request.at.time_since_epoch()));
        return times;
    }
    std::vector<FileManagerCall> directoryCalls() { return platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs); }
};

TEST_F(SyncPath, TheLoopAsksAtThreeSecondsThenFiveAfterEachQuery) {
    platform.localService().setSyncPath("/P");
    start();
    platform.advanceBy(13s);
    // 10 s: the monitor's first check finds the service and re-reads the folder as well.
    EXPECT_EQ(syncPathQueryTimes(), (std::vector<double>{3.0, 8.0, 10.0, 13.0}));

    // A slow query pushes the next one back: 5 s after it returned.
    platform.localService().setHandler([](const std::string& line) {
        if (line == "GET_SYNC_PATH") return Reply::text("/P\n", 1500ms);
        return Reply::text(line == "PING" ? "PONG\n" : "0\n");
    });
    platform.advanceBy(5s);   // the query at 18 s answers at 19.5 s
    platform.advanceBy(6500ms);
    auto times = syncPathQueryTimes();
    ASSERT_GE(times.size(), 2u);
    EXPECT_EQ(times[times.size() - 2], 18.0);
    EXPECT_EQ(times.back(), 24.5);
}

TEST_F(SyncPath, EverySuccessDeclaresTheFolderAndANewPathEmptiesTheCache) {
    platform.localService().setSyncPath("/P");
    start();
    peer().setCachedStatus("/P/a", "success");
    platform.advanceBy(3s);
    EXPECT_EQ(peer().syncPath(), "/P");
    ASSERT_EQ(directoryCalls().size(), 1u);
    EXPECT_EQ(directoryCalls()[0].urls, std::set<URL>{URL::fileURL("/P")});
    EXPECT_EQ(peer().observedDirectories(), std::vector<std::string>{"/P"});
    EXPECT_EQ(peer().statusCacheSize(), 0u);  // a first path empties the cache

    // The same answer again: declared again, polling restarted, cache kept.
    peer().setCachedStatus("/P/a", "success");
    platform.advanceBy(5s);
    EXPECT_EQ(directoryCalls().size(), 2u);
    EXPECT_EQ(peer().cacheEntry("/P/a")->badge, "success");

    // Another folder: the cache is emptied once; the old folder's polling is not stopped here.
    platform.localService().setSyncPath("/Q with space#1");
    platform.advanceBy(5s);
    EXPECT_EQ(peer().syncPath(), "/Q with space#1");
    EXPECT_EQ(directoryCalls().back().urls, std::set<URL>{URL::fileURL("/Q with space#1")});
    EXPECT_EQ(directoryCalls().back().urls.begin()->path(), "/Q with space#1");
    EXPECT_EQ(peer().statusCacheSize(), 0u);
    EXPECT_EQ(peer().observedDirectories().size(), 2u);
}

TEST_F(SyncPath, FailuresAndWaitingModeKeepTheLastPath) {
    platform.localService().setSyncPath("/P");
    start();
    platform.advanceBy(3s);
    // Waiting mode until the monitor's first check at 10 s: the iteration at 8 s asks nothing.
    peer().setWaitingMode(true);
    std::size_t queries = platform.localService().requestsStartingWith("GET_SYNC_PATH").size();
    platform.advanceBy(6s);
    EXPECT_EQ(platform.localService().requestsStartingWith("GET_SYNC_PATH").size(), queries);
    // Refusals from then on: asked at 10 s (the check), 13 s and 18 s, and the last path stays.
    platform.localService().setHandler([](const std::string& line) {
        return Reply::text(line == "PING" ? "PONG\n" : "ERROR: signed out\n");
    });
    platform.advanceBy(10s);
    EXPECT_EQ(platform.localService().requestsStartingWith("GET_SYNC_PATH").size(), queries + 3);
    EXPECT_EQ(peer().syncPath(), "/P");
}

}  // namespace
}  // namespace vantorix::testing
