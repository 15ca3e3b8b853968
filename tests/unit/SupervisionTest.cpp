// Supervision in virtual time: start-up and teardown, the availability state machine, the monitor's interval,
// waiting mode and its repaints, and the sync-path loop.
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

enum class State { unconfirmed, connected, waiting };
enum class Event { checkSucceeds, checkFails, exchangeFails, exchangeSucceeds };
struct Row { State from; Event event; State to; bool cacheEmptied, folderReread; };
std::ostream& operator<<(std::ostream& out, const Row& row) { return out << "from " << int(row.from) << " on " << int(row.event); }

class AvailabilityTransition : public SimulationTest, public ::testing::WithParamInterface<Row> {};

TEST_P(AvailabilityTransition, FollowsTheTable) {
    const Row& row = GetParam();
    auto state = [&] {
        bool available = peer().serverAvailable(), waiting = peer().waitingMode();
        EXPECT_FALSE(available && waiting) << "available and waiting is not a stable state";
        return waiting ? State::waiting : available ? State::connected : State::unconfirmed;
    };
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    peer().setSyncPath("/S");
    if (row.from != State::unconfirmed) peer().enterWaitingMode("setup");
    if (row.from == State::connected) peer().exitWaitingMode("setup");
    platform.advanceBy(2s);  // let the set-up's repaints pass
    ASSERT_EQ(state(), row.from);
    peer().setCachedStatus("/S/a", "success");
    if (row.event == Event::checkFails || row.event == Event::exchangeFails) platform.localService().setAvailability(Availability::refusing);
    if (row.event == Event::checkSucceeds || row.event == Event::checkFails) peer().checkServerAvailability();
    else peer().sendBatchStatusRequestSequential("/S/a");
    EXPECT_EQ(state(), row.to);
    EXPECT_EQ(peer().statusCacheSize() == 0, row.cacheEmptied);
    EXPECT_EQ(!platform.localService().requestsStartingWith("GET_SYNC_PATH").empty(), row.folderReread);
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

using Times = std::vector<std::int64_t>;  // virtual milliseconds
using Sets = std::vector<std::pair<std::int64_t, std::size_t>>;

std::int64_t millis(MonotonicTime at) { return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count(); }

class Supervision : public SimulationTest {
protected:
    // (time, size) of every change of the observed set.
    Sets directorySets() {
        Sets sets;
        for (const auto& call : platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs)) sets.emplace_back(millis(call.at), call.urls.size());
        return sets;
    }
    Times requestTimes(const std::string& prefix, std::int64_t from = 0) {
        Times times;
        for (const auto& request : platform.localService().requestsStartingWith(prefix)) {
            if (millis(request.at) >= from) times.push_back(millis(request.at));
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

TEST_F(Supervision, StartUpNeverWaitsTheFolderIsAskedForThreeSecondsLaterThenEveryFiveAndTheTeardownStopsEverything) {
    extension = VantorixFinderSync::create(platform);
    // create() returned with the notifications subscribed, before any exchange.
    EXPECT_TRUE(platform.localService().requests().empty());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(extension.get()), 3u);
    platform.runUntilIdle();
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_FALSE(peer().serverAvailable());  // the first ping only sets the mode
    // The monitor's interval, 10 s: its first check below, and UpAtStart's outage found at 30 s.
    EXPECT_EQ(peer().cacheCleanupTimer()->timeInterval(), 60s);
    platform.advanceBy(3s);  // the first query, not before 3 s: the request times below
    EXPECT_EQ(peer().syncPath(), "/Users/someone/Vantorix");
    EXPECT_EQ(directorySets(), (Sets{{3000, 1}}));

    // 10 s: the monitor's first check finds the service and re-reads the folder as well; a slow query pushes the
    // loop's next one back: 5 s after it returned.
    platform.advanceBy(10s);
    EXPECT_EQ(requestTimes("GET_SYNC_PATH"), (Times{3000, 8000, 10000, 13000}));
    platform.localService().setHandler([](const std::string& line) {
        return line == "GET_SYNC_PATH" ? Reply::text("/Users/someone/Vantorix\n", 1500ms) : Reply::text(line == "PING" ? "PONG\n" : "0\n");
    });
    platform.advanceBy(11500ms);
    EXPECT_EQ(requestTimes("GET_SYNC_PATH", 14000), (Times{18000, 24500}));

    // The same folder again keeps the cache, and so does the lazy restart once started; a new folder empties it;
    // a refusal keeps the last path.
    peer().setCachedStatus("/Users/someone/Vantorix/a", "success");
    platform.advanceBy(5s);
    for (int i = 0; i < 5; ++i) peer().ensureMonitoringActive();
    platform.runUntilIdle();
    EXPECT_EQ(peer().cacheEntry("/Users/someone/Vantorix/a")->badge, "success");
    platform.localService().setHandler([](const std::string& line) { return Reply::text(line == "PING" ? "PONG\n" : "/Q with space#1\n"); });
    platform.advanceBy(5s);
    EXPECT_EQ(platform.recordingFileManager().directoryURLs(), std::set<URL>{URL::fileURL("/Q with space#1")});
    EXPECT_EQ(peer().statusCacheSize(), 0u);
    platform.localService().setHandler([](const std::string& line) { return Reply::text(line == "PING" ? "PONG\n" : "ERROR: signed out\n"); });
    platform.advanceBy(10s);
    EXPECT_EQ(peer().syncPath(), "/Q with space#1");

    // The teardown: the timers stop and the subscriptions end, also with a retry timer running.
    peer().addToRetryQueue({"/Q with space#1/r"});
    platform.runUntilIdle();
    std::vector<std::shared_ptr<Timer>> timers{peer().reconnectTimer(), peer().cacheCleanupTimer()};
    std::weak_ptr<VantorixFinderSync> weak = extension;
    const void* observer = extension.get();
    extension.reset();
    platform.discardPendingWork();  // the sync-path loop held the object; the end of the process lets go
    EXPECT_TRUE(weak.expired());
    for (const auto& each : timers) EXPECT_FALSE(each->isValid());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(observer), 0u);
}

TEST_F(Supervision, DownAtStartTheMonitorChecksEveryThreeSecondsThenSwitchesOnceToTen) {
    platform.localService().setAvailability(Availability::refusing);
    platform.localService().setSyncPath("/S");
    start();
    EXPECT_TRUE(peer().waitingMode());  // and checking every 3 s: found at 9 s, below
    // A badge request that would have been queued before the first ping now removes the badge.
    peer().setSyncPath("/S");
    extension->requestBadgeIdentifier(URL::fileURL("/S/b.txt"));
    platform.advanceBy(8s);  // the loop asks nothing while waiting
    EXPECT_TRUE(requestTimes("GET_SYNC_PATH").empty());
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/S/b.txt"), "");
    platform.localService().setAvailability(Availability::up);
    // The check at 9 s: exit, the reconnection steps, and the switch to 10 s. Repaints: the exit's 0.3 s after
    // 9 s, the reconnection's 0.5 s after 9 s, each restoring 0.5 s later.
    platform.advanceBy(3s);
    EXPECT_EQ(directorySets(), (Sets{{9000, 1}, {9300, 0}, {9500, 0}, {9800, 1}, {10000, 1}}));
    // A later outage keeps the 10 s interval.
    platform.localService().setAvailability(Availability::refusing);
    platform.advanceBy(20s);
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
    EXPECT_THAT(waitingModeReasons(), ElementsAre("left socket_reconnected_from_monitoring", "entered socket_disconnected_from_monitoring"));
}

TEST_F(Supervision, UpAtStartTheMonitorChecksEveryTenSecondsUntilItFindsWaitingModeThenEveryThree) {
    startWithSyncFolder("/S");
    platform.advanceBy(17s);  // 20 s: the checks at 10 s and 20 s find the service
    platform.localService().setAvailability(Availability::refusing);
    platform.advanceBy(10s - 1ms);
    EXPECT_FALSE(peer().waitingMode());
    platform.advanceBy(1ms);  // 30 s: gone: waiting mode, and the interval switches to 3 s for good
    EXPECT_TRUE(peer().waitingMode());
    platform.localService().setAvailability(Availability::up);
    platform.advanceBy(12s);
    auto pings = requestTimes("PING", 33000);
    for (std::int64_t at : {33000, 36000, 39000, 42000}) EXPECT_NE(std::find(pings.begin(), pings.end(), at), pings.end()) << at;
}

TEST_F(Supervision, WaitingModeIsEnteredAndLeftOncePerChangeEachWithItsRepaint) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    peer().refreshCurrentDirectoryBadges();
    platform.runUntilIdle();
    EXPECT_TRUE(directorySets().empty());  // without a sync folder a repaint does nothing
    startWithSyncFolder("/S");
    platform.advanceBy(10s);  // 13 s: past the first check and its repaint
    platform.recordingFileManager().clear();
    for (int i = 0; i < 40; ++i) peer().addToBatchQueue("/S/f" + std::to_string(i));
    peer().enterWaitingMode("first");
    peer().enterWaitingMode("second");  // no effect at all
    EXPECT_TRUE(peer().batchQueue().empty());
    platform.advanceBy(100ms);
    peer().exitWaitingMode("first");
    peer().exitWaitingMode("second");
    platform.advanceBy(1s);
    EXPECT_TRUE(batchRequests().empty());  // none of the 40 was sent
    EXPECT_THAT(waitingModeReasons(), ElementsAre("entered first", "left first"));
    // Both repaints run: empty 0.2 s after the entry and 0.3 s after the exit, restored 0.5 s later.
    EXPECT_EQ(directorySets(), (Sets{{13200, 0}, {13400, 0}, {13700, 1}, {13900, 1}}));
}

}  // namespace
}  // namespace vantorix::testing
