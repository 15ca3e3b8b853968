// Start-up, the lazy restart and the teardown of the extension object.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class Lifecycle : public SimulationTest {};

TEST_F(Lifecycle, ServiceUpAtStart) {
    extension = VantorixFinderSync::create(platform);
    // create() returned without any exchange: the first ping waits on the agenda.
    EXPECT_TRUE(platform.localService().requests().empty());
    EXPECT_FALSE(extension->initialPingPerformedForTesting());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(extension.get()), 3u);

    platform.runUntilIdle();
    ASSERT_EQ(platform.localService().requests().size(), 1u);
    EXPECT_EQ(platform.localService().requests()[0].line, "PING");
    EXPECT_TRUE(extension->initialPingPerformedForTesting());
    EXPECT_FALSE(extension->waitingModeForTesting());
    EXPECT_FALSE(extension->serverAvailableForTesting());  // a plain assignment of the mode, nothing else
    ASSERT_TRUE(extension->reconnectTimerForTesting());
    EXPECT_EQ(extension->reconnectTimerForTesting()->timeInterval(), 10s);
    ASSERT_TRUE(extension->cacheCleanupTimerForTesting());
    EXPECT_EQ(extension->cacheCleanupTimerForTesting()->timeInterval(), 60s);
    EXPECT_TRUE(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs).empty());

    // The sync-path loop asks 3 s later, not before.
    platform.advanceBy(2999ms);
    EXPECT_FALSE(extension->syncPathForTesting());
    platform.advanceBy(1ms);
    EXPECT_EQ(extension->syncPathForTesting(), "/Users/someone/Vantorix");
}

TEST_F(Lifecycle, ServiceDownAtStart) {
    platform.localService().setAvailability(Availability::refusing);
    extension = VantorixFinderSync::create(platform);
    platform.runUntilIdle();
    EXPECT_TRUE(extension->initialPingPerformedForTesting());
    EXPECT_TRUE(extension->waitingModeForTesting());
    // Everything starts all the same; the monitor checks every 3 s while waiting.
    ASSERT_TRUE(extension->reconnectTimerForTesting());
    EXPECT_EQ(extension->reconnectTimerForTesting()->timeInterval(), 3s);
    EXPECT_TRUE(extension->cacheCleanupTimerForTesting());
    // The sync-path loop runs but asks nothing in waiting mode.
    platform.advanceBy(9s);
    EXPECT_FALSE(extension->syncPathForTesting());
    EXPECT_TRUE(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setDirectoryURLs).empty());
}

TEST_F(Lifecycle, ABadgeRequestBeforeTheFirstPingIsHandledAsOutsideWaitingMode) {
    // The service refuses, but the first ping has not run yet when the request comes.
    platform.localService().setAvailability(Availability::refusing);
    extension = VantorixFinderSync::create(platform);
    extension->setSyncPathForTesting("/S");
    extension->requestBadgeIdentifier(URL::fileURL("/S/a.txt"));
    EXPECT_EQ(extension->batchQueueForTesting(), std::vector<std::string>{"/S/a.txt"});
    EXPECT_TRUE(badgeCalls().empty());
    platform.runUntilIdle();
    EXPECT_TRUE(extension->waitingModeForTesting());
    // Now in waiting mode, a request removes the badge and queues nothing new.
    extension->requestBadgeIdentifier(URL::fileURL("/S/b.txt"));
    platform.runUntilIdle();
    ASSERT_EQ(badgeCalls().size(), 1u);
    EXPECT_EQ(badgeCalls()[0].identifier, "");
    EXPECT_EQ(badgeCalls()[0].url->path(), "/S/b.txt");
}

TEST_F(Lifecycle, EnsureMonitoringActiveChangesNothingOnceStarted) {
    startWithSyncFolder();
    extension->setCachedStatus("/Users/someone/Vantorix/a", "success");
    auto registrations = platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage).size();
    auto timer = extension->reconnectTimerForTesting();
    for (int i = 0; i < 5; ++i) extension->ensureMonitoringActive();
    platform.runUntilIdle();
    EXPECT_TRUE(extension->monitoringActiveForTesting());
    EXPECT_EQ(extension->cacheEntryForTesting("/Users/someone/Vantorix/a")->badge, "success");  // not emptied
    EXPECT_EQ(platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage).size(), registrations);
    EXPECT_EQ(extension->reconnectTimerForTesting(), timer);
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
    extension->startPollingDirectory("/Users/someone/Vantorix/sub");
    extension->addToRetryQueue({"/Users/someone/Vantorix/r"});
    platform.runUntilIdle();
    std::vector<std::shared_ptr<Timer>> timers{extension->reconnectTimerForTesting(), extension->cacheCleanupTimerForTesting()};
    for (auto* timer : {&timers[0], &timers[1]}) ASSERT_TRUE(*timer && (*timer)->isValid());
    ASSERT_EQ(extension->observedDirectoriesForTesting().size(), 2u);
    ASSERT_TRUE(extension->retryTimerRunningForTesting());
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
