// Start-up, the lazy restart and the teardown of the extension object.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class Lifecycle : public SimulationTest {};

TEST_F(Lifecycle, ServiceUpAtStart) {
    extension = VantorixFinderSync::create(platform);
    // create() returned without any exchange: the first ping waits on the agenda.
    EXPECT_TRUE(platform.localService().requests().empty());
    EXPECT_FALSE(peer().initialPingPerformed());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(extension.get()), 3u);

    platform.runUntilIdle();
    ASSERT_EQ(platform.localService().requests().size(), 1u);
    EXPECT_EQ(platform.localService().requests()[0].line, "PING");
    EXPECT_TRUE(peer().initialPingPerformed());
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_FALSE(peer().serverAvailable());  // a plain assignment of the mode, nothing else
    ASSERT_TRUE(peer().reconnectTimer());
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 10s);
    ASSERT_TRUE(peer().cacheCleanupTimer());
    EXPECT_EQ(peer().cacheCleanupTimer()->timeInterval(), 60s);
    EXPECT_TRUE(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs).empty());

    // The sync-path loop asks 3 s later, not before.
    platform.advanceBy(2999ms);
    EXPECT_FALSE(peer().syncPath());
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().syncPath(), "/Users/someone/Vantorix");
}

TEST_F(Lifecycle, ServiceDownAtStart) {
    platform.localService().setAvailability(Availability::refusing);
    extension = VantorixFinderSync::create(platform);
    platform.runUntilIdle();
    EXPECT_TRUE(peer().initialPingPerformed());
    EXPECT_TRUE(peer().waitingMode());
    // Everything starts all the same; the monitor checks every 3 s while waiting.
    ASSERT_TRUE(peer().reconnectTimer());
    EXPECT_EQ(peer().reconnectTimer()->timeInterval(), 3s);
    EXPECT_TRUE(peer().cacheCleanupTimer());
    // The sync-path loop runs but asks nothing in waiting mode.
    platform.advanceBy(9s);
    EXPECT_FALSE(peer().syncPath());
    EXPECT_TRUE(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs).empty());
}

TEST_F(Lifecycle, ABadgeRequestBeforeTheFirstPingIsHandledAsOutsideWaitingMode) {
    // The service refuses, but the first ping has not run yet when the request comes.
    platform.localService().setAvailability(Availability::refusing);
    extension = VantorixFinderSync::create(platform);
    peer().setSyncPath("/S");
    extension->requestBadgeIdentifier(URL::fileURL("/S/a.txt"));
    EXPECT_EQ(peer().batchQueue(), std::vector<std::string>{"/S/a.txt"});
    EXPECT_TRUE(badgeCalls().empty());
    platform.runUntilIdle();
    EXPECT_TRUE(peer().waitingMode());
    // Now in waiting mode, a request removes the badge and queues nothing new.
    extension->requestBadgeIdentifier(URL::fileURL("/S/b.txt"));
    platform.runUntilIdle();
    ASSERT_EQ(badgeCalls().size(), 1u);
    EXPECT_EQ(badgeCalls()[0].identifier, "");
    EXPECT_EQ(badgeCalls()[0].url->path(), "/S/b.txt");
}

TEST_F(Lifecycle, EnsureMonitoringActiveChangesNothingOnceStarted) {
    startWithSyncFolder();
    peer().setCachedStatus("/Users/someone/Vantorix/a", "success");
    auto registrations = platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage).size();
    auto timer = peer().reconnectTimer();
    for (int i = 0; i < 5; ++i) peer().ensureMonitoringActive();
    platform.runUntilIdle();
    EXPECT_TRUE(peer().monitoringActive());
    EXPECT_EQ(peer().cacheEntry("/Users/someone/Vantorix/a")->badge, "success");  // not emptied
    EXPECT_EQ(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage).size(), registrations);
    EXPECT_EQ(peer().reconnectTimer(), timer);
}

TEST_F(Lifecycle, TeardownWithoutTimers) {
    extension = VantorixFinderSync::create(platform);
    const void* observer = extension.get();
    // Released before the background start ran: no timer was ever made.
    extension.reset();
    platform.discardPendingWork();
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(observer), 0u);
    EXPECT_EQ(platform.pendingCount(), 0u);
}

TEST_F(Lifecycle, TeardownCancelsEveryTimer) {
    startWithSyncFolder();
    peer().startPollingDirectory("/Users/someone/Vantorix/sub");
    peer().addToRetryQueue({"/Users/someone/Vantorix/r"});
    platform.runUntilIdle();
    std::vector<std::shared_ptr<Timer>> timers{peer().reconnectTimer(), peer().cacheCleanupTimer()};
    for (auto* timer : {&timers[0], &timers[1]}) ASSERT_TRUE(*timer && (*timer)->isValid());
    ASSERT_EQ(peer().observedDirectories().size(), 2u);
    ASSERT_TRUE(peer().retryTimerRunning());
    std::weak_ptr<VantorixFinderSync> weak = extension;
    const void* observer = extension.get();

    extension.reset();
    platform.discardPendingWork();  // the sync-path loop held the object; the end of the process lets go
    EXPECT_TRUE(weak.expired());
    for (const auto& timer : timers) EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(observer), 0u);
    // Nothing the object made keeps running.
    platform.advanceBy(120s);
    EXPECT_EQ(platform.pendingCount(), 0u);
}

}  // namespace
}  // namespace vantorix::testing
