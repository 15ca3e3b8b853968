// The road of a status in virtual time: a badge request or a polling pass queues a path; the batch queue flushes
// it in batches of 50, at once or 0.03 s after the first path; a run asks the service and applies the answers on
// the main thread, setting only what changed according to the cache; a failed exchange hands its paths to the
// retry queue, tried every 3 s. A status-change notification is the other way in: why a user-info tree is refused,
// the direct update and the confirming requests.
#include "SimulationFixture.h"
#include "notifications/NotificationPayload.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;
using Paths = std::vector<std::string>;
using Dict = PropertyValue::Dictionary;
using Array = PropertyValue::Array;

class StatusRoad : public SimulationTest {
protected:
    // The lines of the requests received since the last clearRequests() that start with `prefix`, less the prefix.
    Paths requestLines(const std::string& prefix = "BATCH_STATUS:") {
        Paths lines;
        for (const auto& request : platform.localService().requestsStartingWith(prefix)) lines.push_back(request.line.substr(prefix.size()));
        return lines;
    }
    std::vector<std::size_t> batchSizes() {
        std::vector<std::size_t> sizes;
        for (const auto& line : requestLines()) sizes.push_back(countPieces(line));
        return sizes;
    }
    Paths badgesSet() {
        Paths set;
        for (const auto& call : badgeCalls()) set.push_back(call.url->path() + "=" + call.identifier);
        return set;
    }
};

TEST_F(StatusRoad, TheCacheKeepsSyncFiveSecondsOthersThirtyAndLosesItsOldestWhenFull) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    peer().setCachedStatus("/s", "sync");
    peer().setCachedStatus("/e", "error");
    peer().setCachedStatus("/d/", "shared");  // a trailing slash is another key
    for (const auto& [after, path, badge] : std::vector<std::tuple<Duration, std::string, std::optional<std::string>>>{
             {5s, "/s", "sync"}, {1ms, "/s", std::nullopt}, {0s, "/d", std::nullopt}, {25s - 1ms, "/e", "error"}, {1ms, "/e", std::nullopt}}) {
        platform.advanceBy(after);
        EXPECT_EQ(peer().getCachedStatus(path), badge) << path << " at " << toSeconds(now());
    }
    EXPECT_EQ(peer().statusCacheSize(), 1u);  // the reads dropped the stale entries they found

    // Storing again switches the time to live and restarts the age; the sweep applies the normal one to all.
    peer().setCachedStatus("/x", "success");
    platform.advanceBy(20s);
    peer().setCachedStatus("/x", "sync");
    peer().setCachedStatus("/y", "success");
    platform.advanceBy(30s);
    peer().performCacheCleanup();
    EXPECT_EQ(peer().statusCacheSize(), 2u);  // "/d/" is gone; exactly 30 s old stays
    EXPECT_EQ(peer().getCachedStatus("/x"), std::nullopt);
    platform.advanceBy(1ms);
    peer().performCacheCleanup();
    EXPECT_EQ(peer().statusCacheSize(), 0u);

    // Full: the oldest goes first, also when an existing path is stored again.
    for (const auto& path : numbered("/p", 2000)) {
        peer().setCachedStatus(path, "success");
        platform.advanceBy(1ms);
    }
    peer().setCachedStatus("/new", "success");
    EXPECT_EQ(peer().statusCacheSize(), 2000u);
    EXPECT_FALSE(peer().cacheEntry("/p0"));
    peer().setCachedStatus("/p500", "error");
    EXPECT_EQ(peer().statusCacheSize(), 1999u);
    EXPECT_FALSE(peer().cacheEntry("/p1"));
    peer().setCachedStatus("/q", "success");  // the path stored again holds one place in the order, not two
    EXPECT_EQ(peer().statusCacheSize(), 2000u);
    EXPECT_TRUE(peer().cacheEntry("/p2"));
    peer().invalidateCache("/p500", "any_reason");
    EXPECT_FALSE(peer().cacheEntry("/p500"));
    // A folder that starts being shown takes the entries it already had out of the eviction order.
    peer().setCachedStatus("/S/d/kept", "success");
    peer().startPollingDirectory("/S/d");
    platform.runUntilIdle();
    for (const auto& path : numbered("/z", 2000)) peer().setCachedStatus(path, "success");
    EXPECT_TRUE(peer().cacheEntry("/S/d/kept"));
    peer().stopPollingDirectory("/S/d");

    // The wall clock set back: an entry stamped in the future stays fresh, through reads and sweeps, until the
    // clock catches up and then for its time to live; set forwards, it is as old as the clock says.
    peer().setCachedStatus("/f", "error");
    platform.stepWallClock(-100s);
    peer().performCacheCleanup();
    EXPECT_EQ(peer().getCachedStatus("/f"), "error");
    platform.advanceBy(130s);
    EXPECT_EQ(peer().getCachedStatus("/f"), "error");  // exactly 30 s old by the clock
    platform.stepWallClock(1ms);
    EXPECT_EQ(peer().getCachedStatus("/f"), std::nullopt);
    peer().setCachedStatus("/g", "success");
    platform.stepWallClock(31s);
    peer().performCacheCleanup();
    EXPECT_FALSE(peer().cacheEntry("/g"));
}

TEST_F(StatusRoad, BadgeRequestsQueueItemsOfTheSyncFolderFlushedAtFiftyOr30MillisecondsAfterTheFirstUnlessWaiting) {
    startWithSyncFolder("/Users/me/Sync");
    peer().setCachedStatus("/Users/me/Sync/a.txt", "success");
    for (const auto& [path, queued] : std::vector<std::pair<std::string, bool>>{
             {"/Users/me/Sync/a.txt", true}, {"/Users/me/Sync/deep/er/C# notes.txt", true}, {"/Users/me/Sync/a.txt", true},
             {"/Users/me/Sync", false}, {"/Users/me/SyncOther/c", false},  // the folder itself, a sibling sharing the prefix
             {"/Users/me/sync/a.txt", false}, {"/elsewhere/a.txt", false},  // case matters
             {"/Users/me/Sync/pipe|name", false}, {"/Users/me/Sync/bad\xFF", false}}) {  // the request line cannot carry these
        extension->requestBadgeIdentifier(URL::fileURL(path));
        platform.runUntilIdle();
        // A request not queued removes the badge at once; a queued one waits for its answer.
        EXPECT_EQ(platform.recordingFileManager().badgeOf(path), queued ? std::nullopt : std::optional<std::string>("")) << path;
    }
    platform.recordingFileManager().clear();
    platform.advanceBy(29ms);
    EXPECT_TRUE(requestLines().empty());
    platform.advanceBy(1ms);
    EXPECT_THAT(requestLines(), ElementsAre("/Users/me/Sync/a.txt|/Users/me/Sync/deep/er/C# notes.txt"));  // each path once
    // The answer equals the cached badge: the file manager is not called again.
    EXPECT_THAT(badgesSet(), ElementsAre("/Users/me/Sync/deep/er/C# notes.txt=success"));

    // The fiftieth path flushes at once, inside its addition; 120 go out as 50, 50 and 20.
    platform.localService().clearRequests();
    for (const auto& path : numbered("/Users/me/Sync/f", 120)) peer().addToBatchQueue(path);
    EXPECT_EQ(peer().batchQueue().size(), 20u);
    platform.advanceBy(30ms);
    EXPECT_EQ(batchSizes(), (std::vector<std::size_t>{50, 50, 20}));

    // In waiting mode the queue holds its paths; they leave as 50, 50 and 30 when it ends.
    peer().enterWaitingMode("test");
    platform.localService().clearRequests();
    for (const auto& path : numbered("/Users/me/Sync/held", 130)) peer().addToBatchQueue(path);
    platform.advanceBy(1s);
    EXPECT_EQ(peer().batchQueue().size(), 130u);
    peer().exitWaitingMode("test");
    platform.advanceBy(30ms);
    EXPECT_EQ(batchSizes(), (std::vector<std::size_t>{50, 50, 30}));

    // Waiting mode entered and left before the main thread withdrew the entry's flush timer: a path queued
    // meanwhile still gets a flush of its own.
    peer().addToBatchQueue("/Users/me/Sync/first");
    platform.advanceBy(1ms);  // its flush timer is made
    peer().enterWaitingMode("test");
    peer().exitWaitingMode("test");
    peer().addToBatchQueue("/Users/me/Sync/second");
    platform.advanceBy(1s);
    EXPECT_TRUE(peer().batchQueue().empty());
}

TEST_F(StatusRoad, ARunSetsOnlyWhatChangedAndItsFailedPathsAreRetriedEveryThreeSecondsUntilTheyGetThrough) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    auto& service = platform.localService();
    service.setStatus("/b", "1");
    service.setStatus("/C# notes.txt", "3");
    peer().processBatchesFromPaths({"/a", "/b", "/C# notes.txt", "/x|y", "/bad\xFF", ""});
    platform.runUntilIdle();
    EXPECT_THAT(requestLines(), ElementsAre("/a|/b|/C# notes.txt"));  // a path the line cannot carry is never sent
    EXPECT_THAT(badgesSet(), ElementsAre("/a=success", "/b=sync", "/C# notes.txt=error"));

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
    service.scriptNext({});
    service.scriptNext({.reply = Reply::text("0\n")});  // a wrong count
    auto many = numbered("/p", 150);
    peer().processBatchesFromPaths(many);
    platform.runUntilIdle();
    EXPECT_EQ(badgeCalls().size(), 100u);
    Paths failed(many.begin() + 50, many.begin() + 100);
    EXPECT_EQ(peer().retryQueue(), failed);

    // Tried 3 s later, each path once, in exchanges of 50 in order; a pass stops at its first failed exchange and
    // puts the unsent paths back behind the failed ones.
    peer().addToRetryQueue({"/p99", "/q"});
    service.clearRequests();
    service.scriptNext({.reply = Reply::text("ERROR: busy\n")});
    platform.advanceBy(2999ms);
    EXPECT_TRUE(requestLines().empty());
    platform.advanceBy(1ms);
    EXPECT_THAT(requestLines(), ElementsAre(joinPaths(failed)));
    failed.push_back("/q");
    EXPECT_EQ(peer().retryQueue(), failed);

    // 5,000 in all: the next pass, 3 s later, stops at its third exchange, which fails.
    peer().addToRetryQueue(numbered("/r", 4949));
    service.scriptNext({});
    service.scriptNext({});
    service.scriptNext({.reply = Reply::closeWithoutAnswer()});
    platform.advanceBy(3s);
    EXPECT_EQ(peer().retryQueue().size(), 4900u);
    EXPECT_EQ(peer().retryQueue().front(), "/r49");  // the failed exchange's paths first, then the unsent
    // The next pass gets everything through; the paths are asked for afresh and the timer stops.
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().retryQueue().empty());
    platform.advanceBy(1s);
    EXPECT_FALSE(peer().retryTimerRunning());
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/r4948"), "success");

    // A path handed over while a pass is under way finds the timer running: it is kept for the next pass.
    bool handedOver = false;
    service.setHandler([&](const std::string& line) {
        if (line == "BATCH_STATUS:/late" && !std::exchange(handedOver, true)) peer().addToRetryQueue({"/later"});
        return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n");
    });
    peer().addToRetryQueue({"/late"});
    platform.advanceBy(7s);
    EXPECT_TRUE(peer().retryQueue().empty());
}

TEST_F(StatusRoad, AnOpenedFolderLosesItsCacheAndIsListedEveryOneAndAHalfSecondsUntilClosed) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    platform.addDirectory("/S/d", {"a.txt", ".DS_Store", ".hidden", "sub", "thumbs.db", "Thumbs.db", "desktop.ini", ".localized",
                                   ".Spotlight-V100", ".TemporaryItems", "pipe|name"});
    for (const char* path : {"/S/d", "/S/d/a", "/S/d/x/y", "/S/docs", "/S/e/a"}) peer().setCachedStatus(path, "success");
    extension->beginObservingDirectory(URL::fileURL("/S/d"));
    EXPECT_EQ(peer().statusCacheSize(), 1u);  // "/S/e/a": the plain prefix test takes the sibling "/S/docs" too
    platform.advanceBy(1s);
    extension->beginObservingDirectory(URL::fileURL("/S/d"));  // a restart: the first pass comes 1.5 s after it
    extension->beginObservingDirectory(URL::fileURL("/S/d"));
    platform.advanceBy(1499ms);
    EXPECT_TRUE(peer().batchQueue().empty());
    // Each opening re-reads the sync folder, one update after the other.
    EXPECT_THAT(requestLines(""), ElementsAre("PING", "GET_SYNC_PATH", "PING", "GET_SYNC_PATH", "PING", "GET_SYNC_PATH"));
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().batchQueue(), (Paths{"/S/d/a.txt", "/S/d/.hidden", "/S/d/sub", "/S/d/thumbs.db"}));

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
    EXPECT_EQ(peer().batchQueue(), Paths{"/S/d/back"});
    // Entries added, gone and reordered between passes: each pass queues what the folder holds now, in its order.
    platform.addDirectory("/S/d", {"a.txt", "back"});
    platform.advanceBy(1500ms);
    EXPECT_EQ(peer().batchQueue(), (Paths{"/S/d/a.txt", "/S/d/back"}));
    platform.addDirectory("/S/d", {"back", "y", "a.txt"});
    platform.advanceBy(1500ms);
    EXPECT_EQ(peer().batchQueue(), (Paths{"/S/d/back", "/S/d/y", "/S/d/a.txt"}));

    // Closing stops the polling and leaves the cache alone; a path never started changes nothing.
    peer().setCachedStatus("/S/d/z", "sync");
    peer().stopPollingDirectory("/never/started");
    extension->endObservingDirectory(URL::fileURL("/S/d"));
    platform.advanceBy(10s);
    EXPECT_THAT(peer().observedDirectories(), ElementsAre("/Users/someone/Vantorix"));
    EXPECT_TRUE(peer().cacheEntry("/S/d/z"));
    // With a final slash it is another folder.
    peer().startPollingDirectory("/S/d/");
    platform.addDirectory("/S/d/", {"x"});
    platform.advanceBy(1500ms);
    EXPECT_EQ(peer().batchQueue().back(), "/S/d//x");
}

PropertyValue state(PropertyValue path, PropertyValue code) { return PropertyValue(Dict{{"path", std::move(path)}, {"state", std::move(code)}}); }

TEST(NotificationPayload, SaysWhyItRefusesATree) {
    std::string why;
    for (auto& [userInfo, reason] : std::vector<std::pair<std::optional<PropertyValue>, std::string>>{
             {std::nullopt, "no user-info"}, {PropertyValue("text"), "the user-info is not a dictionary"},
             {PropertyValue(Dict{{"sync_state", Array{state("/b", "3")}}}), "no \"paths\""},  // whatever else it carries
             {PropertyValue(Dict{{"paths", Array{"/a", 7}}}), "\"paths\" holds a value that is not a string"}}) {
        EXPECT_FALSE(parseStatusChangePayload(Notification{"VantorixStatusChanged", "", userInfo}, true, &why));
        EXPECT_EQ(why, reason);
    }
    // (What is taken from the tree, entry by entry, is checked against a definition of its own by the
    // json_notification and bus_notification fuzz targets, whose seeds every test build replays.)
}

class NotificationIntake : public SimulationTest {
protected:
    void SetUp() override { start(); }
    void post(const std::string& name, PropertyValue userInfo) { platform.distributedNotificationCenter().post(name, "com.vantorix.localservice", userInfo); }
};

TEST_F(NotificationIntake, ADirectUpdateIsShownAtOnceThenConfirmedByOneRequest) {
    platform.localService().setStatus("/b", "3");
    // What each confirming request asks for, and the badge it finds already shown.
    std::vector<std::string> shownWhenAsked;
    platform.localService().setHandler([&](const std::string& line) {
        shownWhenAsked.push_back(line.substr(13) + "=" + platform.recordingFileManager().badgeOf(line.substr(13)).value_or("none"));
        return Reply::text(simulation::defaultBatchAnswer(platform.localService(), line.substr(13)) + "\n");
    });
    post("VantorixStatusChanged", Dict{{"paths", Array{"/a"}}, {"sync_state", Array{state("/b", "3")}}});
    EXPECT_TRUE(badgeCalls().empty());  // the handler only parses and hands over
    platform.runUntilIdle();
    EXPECT_EQ(badgeCalls().size(), 1u);  // confirmed: no second call

    // The service says otherwise: the badge is set once more. Paths the line cannot carry are shown, never asked.
    platform.localService().setStatus("/b", "0");
    post("VantorixStatusChanged", Dict{{"paths", Array{}}, {"sync_state", Array{state("/b", "5"), state("/odd|name", "3")}}});
    platform.runUntilIdle();
    EXPECT_THAT(shownWhenAsked, ElementsAre("/b=error", "/b=readonly"));
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/b"), "success");
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/odd|name"), "error");
}

TEST_F(NotificationIntake, NotifiedPathsAreAskedForOnceEachInExchangesOfFifty) {
    post("VantorixSharedStatusChanged", Dict{{"paths", Array{"/a", "/b"}}});
    post("VantorixReadonlyStatusChanged", Dict{{"paths", Array{"/c", "/c"}}, {"sync_state", Array{state("/x", "1")}}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/d"}}, {"sync_state", "not an array"}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/e"}}, {"sync_state", Array{}}});
    post("VantorixStatusChanged", Dict{{"paths", 42}, {"sync_state", Array{state("/f", "1")}}});
    post("SomethingElse", Dict{{"paths", Array{"/g"}}});
    platform.runUntilIdle();
    EXPECT_THAT(askedPaths(), ElementsAre("/a", "/b", "/c", "/d"));
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/x"), std::nullopt);
    EXPECT_EQ(platform.logEntriesWith("notification ignored").at(0).field("why"), "\"paths\" is not an array");

    platform.localService().clearRequests();
    auto many = numbered("/p", 120);
    post("VantorixSharedStatusChanged", Dict{{"paths", Array(many.begin(), many.end())}});
    platform.runUntilIdle();
    EXPECT_EQ(batchRequests().size(), 3u);
}

}  // namespace
}  // namespace vantorix::testing
