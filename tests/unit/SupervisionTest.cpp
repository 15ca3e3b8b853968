// Connection supervision in virtual time: the availability state machine, the monitor's interval, waiting mode
// and the repaint.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

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
    void SetUp() override {
        extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
        peer().setSyncPath("/S");
    }
    State state() {
        bool available = peer().serverAvailable();
        bool waiting = peer().waitingMode();
        EXPECT_FALSE(available && waiting) << "available and waiting is not a stable state";
        return waiting ? State::waiting : available ? State::connected : State::unconfirmed;
    }
};

TEST_P(AvailabilityTransition, FollowsTheTable) {
    const Row& row = GetParam();
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

    switch (row.event) {
    case Event::checkSucceeds: peer().checkServerAvailability(); break;
    case Event::checkFails:
        service.setAvailability(Availability::refusing);
        peer().checkServerAvailability();
        break;
    case Event::exchangeFails:
        service.setAvailability(Availability::refusing);
        peer().sendBatchStatusRequestSequential("/S/a");
        break;
    case Event::exchangeSucceeds: peer().sendBatchStatusRequestSequential("/S/a"); break;
    }
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
    std::vector<std::pair<double, std::size_t>> directorySets() {
        std::vector<std::pair<double, std::size_t>> sets;
        for (const auto& call : platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs)) {
            sets.emplace_back(toSeconds(call.at.time_since_epoch()), call.urls.size());
        }
        return sets;
    }
    std::vector<double> pingTimes(double from = 0) {
        std::vector<double> times;
        for (const auto& request : platform.localService().requestsStartingWith("PING")) {
            double at = toSeconds(request.at.time_since_epoch());
            if (at >= from) times.push_back(at);
        }
        return times;
    }
};

TEST_F(Supervision, TheMonitorChecksEveryTenSecondsUntilItFindsWaitingModeThenEveryThreeForGood) {
    startWithSyncFolder("/S");
    platform.advanceBy(7s - 1ms);  // just before the first check at 10 s
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
    platform.localService().setAvailability(Availability::refusing);
    // 10 s: the first check after start finds nothing to do (unconfirmed before and now).
    platform.advanceBy(1ms);
    EXPECT_FALSE(peer().waitingMode());
    platform.localService().setAvailability(Availability::up);
    platform.advanceBy(10s);  // 20 s: the service is found: connected
    EXPECT_TRUE(peer().serverAvailable());
    platform.localService().setAvailability(Availability::refusing);
    platform.advanceBy(10s);  // 30 s: gone: waiting mode, and the interval switches to 3 s
    EXPECT_TRUE(peer().waitingMode());
    platform.runUntilIdle();
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 3s);
    platform.localService().setAvailability(Availability::up);
    platform.advanceBy(3s);  // 33 s: back; the interval stays at 3 s from now on
    EXPECT_FALSE(peer().waitingMode());
    platform.advanceBy(9s);
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 3s);
    auto checks = pingTimes(33);
    // Checks at 33, 36, 39, 42 (and the sync-path loop's own pings in between).
    for (double at : {33.0, 36.0, 39.0, 42.0}) EXPECT_NE(std::find(checks.begin(), checks.end(), at), checks.end()) << at;
}

TEST_F(Supervision, StartingInWaitingModeChecksEveryThreeSecondsThenSwitchesOnceToTen) {
    platform.localService().setAvailability(Availability::refusing);
    platform.localService().setSyncPath("/S");
    start();
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 3s);
    platform.advanceBy(8s);
    EXPECT_TRUE(peer().waitingMode());
    platform.localService().setAvailability(Availability::up);
    platform.advanceBy(1s);  // the check at 9 s finds it: exit, reconnection steps, and the switch to 10 s
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_EQ(peer().syncPath(), "/S");
    platform.runUntilIdle();
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
    // Repaints: the exit's 0.3 s after 9 s, the reconnection's 0.5 s after 9 s, each restoring 0.5 s later.
    platform.advanceBy(2s);
    std::vector<std::pair<double, std::size_t>> expected{{9.0, 1}, {9.3, 0}, {9.5, 0}, {9.8, 1}, {10.0, 1}};
    auto sets = directorySets();
    ASSERT_GE(sets.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(sets[i].first, expected[i].first, 1e-9) << i;
        EXPECT_EQ(sets[i].second, expected[i].second) << i;
    }
    // A later outage keeps the 10 s interval.
    platform.localService().setAvailability(Availability::refusing);
    platform.advanceBy(20s);
    EXPECT_TRUE(peer().waitingMode());
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
}

TEST_F(Supervision, WaitingModeIsEnteredAndLeftOncePerChange) {
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
    // Left within 0.1 s: both repaints run, at 0.2 s after the entry and 0.3 s after the exit.
    peer().setCachedStatus("/S/b", "success");
    peer().exitWaitingMode("first");
    peer().exitWaitingMode("second");
    EXPECT_EQ(peer().statusCacheSize(), 0u);
    EXPECT_TRUE(peer().serverAvailable());
    platform.advanceBy(1s);
    EXPECT_EQ(batchRequests().size(), batches);  // none of the 40 was sent
    auto sets = directorySets();
    ASSERT_EQ(sets.size(), before + 4);
    EXPECT_NEAR(sets[before].first - entered, 0.2, 1e-9);
    EXPECT_EQ(sets[before].second, 0u);
    EXPECT_NEAR(sets[before + 1].first - entered, 0.4, 1e-9);
    EXPECT_EQ(sets[before + 1].second, 0u);
    EXPECT_NEAR(sets[before + 2].first - entered, 0.7, 1e-9);
    EXPECT_NEAR(sets[before + 3].first - entered, 0.9, 1e-9);
    EXPECT_EQ(sets[before + 3].second, 1u);
}

TEST_F(Supervision, ARepaintWithoutASyncFolderDoesNothing) {
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    peer().refreshCurrentDirectoryBadges();
    platform.advanceBy(2s);
    EXPECT_TRUE(directorySets().empty());
}

}  // namespace
}  // namespace vantorix::testing
