// Supervision in virtual time: start-up and teardown, the availability state machine, the monitor's interval,
// waiting mode and its repaints, and the sync-path loop.
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

enum class State { unconfirmed, connected, waiting };
enum class Event { checkSucceeds, checkFails, exchangeFails, exchangeSucceeds };

struct Row {
    State from;
    Event event;
    State to;
    bool cacheEmptied;
    bool folderReread;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << "from " << static_cast<int>(row.from) << " on " << static_cast<int>(row.event);
}

class AvailabilityTransition : public SimulationTest, public ::testing::WithParamInterface<Row> {
protected:
    State state() {
        bool available = peer().serverAvailable();
        bool waiting = peer().waitingMode();
        EXPECT_FALSE(available && waiting) << "available and waiting is not a stable state";
        return waiting ? State::waiting : available ? State::connected : State::unconfirmed;
    }
};

TEST_P(AvailabilityTransition, FollowsTheTable) {
    const Row& row = GetParam();
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    peer().setSyncPath("/S");
    if (row.from == State::connected) {
        peer().setWaitingMode(true);
        peer().exitWaitingMode("setup");
    } else if (row.from == State::waiting) {
        peer().enterWaitingMode("setup");
    }
    platform.advanceBy(2s);  // let the set-up's repaints pass
    ASSERT_EQ(state(), row.from);
    peer().setCachedStatus("/S/a", "success");
    std::size_t queries = platform.localService().requestsStartingWith("GET_SYNC_PATH").size();
    auto& service = platform.localService();
    if (row.event == Event::checkFails || row.event == Event::exchangeFails) service.setAvailability(Availability::refusing);
    if (row.event == Event::checkSucceeds || row.event == Event::checkFails) peer().checkServerAvailability();
    else peer().sendBatchStatusRequestSequential("/S/a");
    EXPECT_EQ(state(), row.to);
    EXPECT_EQ(peer().statusCacheSize() == 0, row.cacheEmptied);
    EXPECT_EQ(platform.localService().requestsStartingWith("GET_SYNC_PATH").size() > queries, row.folderReread);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AvailabilityTransition,
    ::testing::Values(Row{State::unconfirmed, Event::checkSucceeds, State::connected, true, true},
                      Row{State::unconfirmed, Event::checkFails, State::unconfirmed, false, false},
                      Row{State::unconfirmed, Event::exchangeFails, State::waiting, true, false},
                      Row{State::unconfirmed, Event::exchangeSucceeds, State::unconfirmed, false, false},
                      Row{State::connected, Event::checkSucceeds, State::connected, false, false},
                      Row{State::connected, Event::checkFails, State::waiting, true, false},
                      Row{State::connected, Event::exchangeFails, State::waiting, true, false},
                      Row{State::connected, Event::exchangeSucceeds, State::connected, false, false},
                      Row{State::waiting, Event::checkSucceeds, State::connected, true, true},
                      Row{State::waiting, Event::checkFails, State::waiting, false, false},
                      Row{State::waiting, Event::exchangeFails, State::waiting, false, false},
                      Row{State::waiting, Event::exchangeSucceeds, State::connected, true, false}));

class Supervision : public SimulationTest {
protected:
    // (seconds, size) of every change of the observed set.
    std::vector<std::pair<double, std::size_t>> directorySets() {
        std::vector<std::pair<double, std::size_t>> sets;
        for (const auto& call : platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs)) {
            sets.emplace_back(toSeconds(call.at.time_since_epoch()), call.urls.size());
        }
        return sets;
    }
    std::vector<double> requestTimes(const std::string& prefix, double from = 0) {
        std::vector<double> times;
        for (const auto& request : platform.localService().requestsStartingWith(prefix)) {
            if (double at = toSeconds(request.at.time_since_epoch()); at >= from) times.push_back(at);
        }
        return times;
    }
    std::vector<std::string> waitingModeReasons() {
        std::vector<std::string> reasons;
        for (const auto& entry : platform.logEntriesWith("waiting mode ")) {
            reasons.push_back(entry.message.substr(13, entry.message.find(':') - 13) + " " + entry.field("reason"));
        }
        return reasons;
    }
};

TEST_F(Supervision, StartUpNeverWaitsAndTheFolderIsAskedForThreeSecondsLaterThenEveryFive) {
    extension = VantorixFinderSync::create(platform);
    // create() returned with the badges registered and the notifications subscribed, before any exchange.
    EXPECT_TRUE(platform.localService().requests().empty());
    EXPECT_EQ(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage).size(), 7u);
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(extension.get()), 3u);
    platform.runUntilIdle();
    EXPECT_TRUE(peer().initialPingPerformed());
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_FALSE(peer().serverAvailable());  // the first ping only sets the mode
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
    EXPECT_EQ(peer().cacheCleanupTimer()->timeInterval(), 60s);
    platform.advanceBy(2999ms);
    EXPECT_FALSE(peer().syncPath());
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().syncPath(), "/Users/someone/Vantorix");
    EXPECT_EQ(directorySets(), (std::vector<std::pair<double, std::size_t>>{{3.0, 1}}));
    EXPECT_THAT(peer().observedDirectories(), ElementsAre("/Users/someone/Vantorix"));

    // 10 s: the monitor's first check finds the service and re-reads the folder as well; a slow query pushes the
    // loop's next one back: 5 s after it returned.
    platform.advanceBy(10s);
    EXPECT_EQ(requestTimes("GET_SYNC_PATH"), (std::vector<double>{3.0, 8.0, 10.0, 13.0}));
    platform.localService().setHandler([](const std::string& line) {
        if (line == "GET_SYNC_PATH") return Reply::text("/Users/someone/Vantorix\n", 1500ms);
        return Reply::text(line == "PING" ? "PONG\n" : "0\n");
    });
    platform.advanceBy(11500ms);
    EXPECT_EQ(requestTimes("GET_SYNC_PATH", 14), (std::vector<double>{18.0, 24.5}));

    // A new folder empties the cache once; the same again keeps it; a refusal keeps the last path.
    peer().setCachedStatus("/Users/someone/Vantorix/a", "success");
    platform.advanceBy(5s);
    EXPECT_EQ(peer().cacheEntry("/Users/someone/Vantorix/a")->badge, "success");
    platform.localService().setHandler([](const std::string& line) { return Reply::text(line == "PING" ? "PONG\n" : "/Q with space#1\n"); });
    platform.advanceBy(5s);
    EXPECT_EQ(peer().syncPath(), "/Q with space#1");
    EXPECT_EQ(platform.recordingFileManager().directoryURLs(), std::set<URL>{URL::fileURL("/Q with space#1")});
    EXPECT_EQ(peer().statusCacheSize(), 0u);
    EXPECT_EQ(platform.logEntriesWith("sync folder changed").at(0).field("path"), "/Q with space#1");
    platform.localService().setHandler([](const std::string& line) { return Reply::text(line == "PING" ? "PONG\n" : "ERROR: signed out\n"); });
    platform.advanceBy(10s);
    EXPECT_EQ(peer().syncPath(), "/Q with space#1");
}

TEST_F(Supervision, DownAtStartTheMonitorChecksEveryThreeSecondsThenSwitchesOnceToTen) {
    platform.localService().setAvailability(Availability::refusing);
    platform.localService().setSyncPath("/S");
    start();
    EXPECT_TRUE(peer().waitingMode());
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 3s);
    // A badge request before the first ping would have been queued; now it removes the badge.
    peer().setSyncPath("/S");
    extension->requestBadgeIdentifier(URL::fileURL("/S/b.txt"));
    platform.advanceBy(8s);  // the loop asks nothing while waiting
    EXPECT_TRUE(requestTimes("GET_SYNC_PATH").empty());
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/S/b.txt"), "");
    platform.localService().setAvailability(Availability::up);
    platform.advanceBy(1s);  // the check at 9 s: exit, the reconnection steps, and the switch to 10 s
    EXPECT_FALSE(peer().waitingMode());
    platform.runUntilIdle();
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
    // Repaints: the exit's 0.3 s after 9 s, the reconnection's 0.5 s after 9 s, each restoring 0.5 s later.
    platform.advanceBy(2s);
    auto sets = directorySets();
    ASSERT_GE(sets.size(), 5u);
    std::vector<std::pair<double, std::size_t>> expected{{9.0, 1}, {9.3, 0}, {9.5, 0}, {9.8, 1}, {10.0, 1}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(sets[i].first, expected[i].first, 1e-9) << i;
        EXPECT_EQ(sets[i].second, expected[i].second) << i;
    }
    // A later outage keeps the 10 s interval.
    platform.localService().setAvailability(Availability::refusing);
    platform.advanceBy(20s);
    EXPECT_TRUE(peer().waitingMode());
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
    EXPECT_THAT(waitingModeReasons(), ElementsAre("left socket_reconnected_from_monitoring", "entered socket_disconnected_from_monitoring"));
}

TEST_F(Supervision, UpAtStartTheMonitorChecksEveryTenSecondsUntilItFindsWaitingModeThenEveryThree) {
    startWithSyncFolder("/S");
    platform.advanceBy(7s - 1ms);
    platform.localService().setAvailability(Availability::refusing);
    platform.advanceBy(1ms);  // 10 s: unavailable before and now: nothing to do
    EXPECT_FALSE(peer().waitingMode());
    platform.localService().setAvailability(Availability::up);
    platform.advanceBy(10s);  // 20 s: found: connected
    EXPECT_TRUE(peer().serverAvailable());
    platform.localService().setAvailability(Availability::refusing);
    platform.advanceBy(10s);  // 30 s: gone: waiting mode, and the interval switches to 3 s for good
    EXPECT_TRUE(peer().waitingMode());
    platform.localService().setAvailability(Availability::up);
    platform.advanceBy(12s);
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 3s);
    auto pings = requestTimes("PING", 33);
    for (double at : {33.0, 36.0, 39.0, 42.0}) EXPECT_NE(std::find(pings.begin(), pings.end(), at), pings.end()) << at;
}

TEST_F(Supervision, WaitingModeIsEnteredAndLeftOncePerChangeEachWithItsRepaint) {
    startWithSyncFolder("/S");
    platform.advanceBy(10s);  // past the first check and its repaint
    std::size_t before = directorySets().size();
    for (int i = 0; i < 40; ++i) peer().addToBatchQueue("/S/f" + std::to_string(i));
    peer().setCachedStatus("/S/a", "success");
    double entered = now();
    peer().enterWaitingMode("first");
    peer().enterWaitingMode("second");  // no effect at all
    EXPECT_TRUE(peer().batchQueue().empty());
    EXPECT_EQ(peer().statusCacheSize(), 0u);
    EXPECT_FALSE(peer().serverAvailable());
    std::size_t batches = batchRequests().size();
    platform.advanceBy(100ms);
    EXPECT_FALSE(peer().batchTimerPending());
    peer().setCachedStatus("/S/b", "success");
    peer().exitWaitingMode("first");
    peer().exitWaitingMode("second");
    EXPECT_EQ(peer().statusCacheSize(), 0u);
    EXPECT_TRUE(peer().serverAvailable());
    platform.advanceBy(1s);
    EXPECT_EQ(batchRequests().size(), batches);  // none of the 40 was sent
    EXPECT_THAT(waitingModeReasons(), ElementsAre("entered first", "left first"));
    // Both repaints run: empty 0.2 s after the entry and 0.3 s after the exit, restored 0.5 s later.
    auto sets = directorySets();
    ASSERT_EQ(sets.size(), before + 4);
    std::vector<std::pair<double, std::size_t>> expected{{0.2, 0}, {0.4, 0}, {0.7, 1}, {0.9, 1}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(sets[before + i].first - entered, expected[i].first, 1e-9) << i;
        EXPECT_EQ(sets[before + i].second, expected[i].second) << i;
    }
    // Without a sync folder a repaint does nothing.
    extension.reset();
    platform.discardPendingWork();
    platform.recordingFileManager().clear();
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    peer().refreshCurrentDirectoryBadges();
    platform.advanceBy(2s);
    EXPECT_TRUE(directorySets().empty());
}

TEST_F(Supervision, TheLazyRestartChangesNothingOnceStartedAndTheTeardownStopsEverything) {
    startWithSyncFolder("/S");
    peer().setCachedStatus("/S/a", "success");
    auto timer = peer().reconnectTimer();
    for (int i = 0; i < 5; ++i) peer().ensureMonitoringActive();
    platform.runUntilIdle();
    EXPECT_TRUE(peer().monitoringActive());
    EXPECT_EQ(peer().cacheEntry("/S/a")->badge, "success");
    EXPECT_EQ(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage).size(), 7u);
    EXPECT_EQ(peer().reconnectTimer(), timer);

    peer().startPollingDirectory("/S/sub");
    peer().addToRetryQueue({"/S/r"});
    platform.runUntilIdle();
    std::vector<std::shared_ptr<Timer>> timers{peer().reconnectTimer(), peer().cacheCleanupTimer()};
    std::weak_ptr<VantorixFinderSync> weak = extension;
    const void* observer = extension.get();
    extension.reset();
    platform.discardPendingWork();  // the sync-path loop held the object; the end of the process lets go
    EXPECT_TRUE(weak.expired());
    for (const auto& each : timers) EXPECT_FALSE(each->isValid());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(observer), 0u);
    platform.advanceBy(120s);
    EXPECT_EQ(platform.pendingCount(), 0u);  // nothing the object made keeps running
}

}  // namespace
}  // namespace vantorix::testing
