// The retry queue in virtual time: 3 s passes on the main thread until an exchange succeeds, exchanges of at
// most 50 paths in order, and no path stranded by a pending stop.
#include "SimulationFixture.h"

#include <gmock/gmock.h>
#include <set>

namespace vantorix::testing {
namespace {

class RetryQueue : public SimulationTest {
protected:
    void SetUp() override { extension = VantorixFinderSyncTestPeer::makeUnstarted(platform); }
};

TEST_F(RetryQueue, FailedPathsAreTriedEveryThreeSecondsUntilTheyGetThrough) {
    auto& service = platform.localService();
    service.setAvailability(Availability::refusing);
    peer().processBatchesFromPaths({"/a", "/b"});
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a", "/b"}));
    peer().addToRetryQueue({"/b", "/c"});
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a", "/b", "/c"}));
    EXPECT_TRUE(peer().retryTimerRunning());

    // Passes at 3 s and 6 s fail; the paths stay, in order, and the attempts are counted.
    service.setAvailability(Availability::up);
    service.setHandler([](const std::string&) { return Reply::text("ERROR: busy\n"); });
    platform.advanceBy(2999ms);
    EXPECT_TRUE(batchRequests().empty());
    platform.advanceBy(1ms);
    ASSERT_EQ(batchRequests().size(), 1u);
    EXPECT_EQ(batchRequests()[0].line, "BATCH_STATUS:/a|/b|/c");
    EXPECT_EQ(peer().retryAttempts(), 1);
    platform.advanceBy(3s);
    EXPECT_EQ(batchRequests().size(), 2u);
    EXPECT_EQ(peer().retryAttempts(), 2);
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a", "/b", "/c"}));

    // A pass that gets through hands the paths to the batch queue, which asks again for real; the timer stops.
    service.setHandler([&service](const std::string& line) { return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n"); });
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().retryQueue().empty());
    platform.advanceBy(30ms);
    ASSERT_EQ(batchRequests().size(), 4u);
    EXPECT_EQ(batchRequests()[3].line, "BATCH_STATUS:/a|/b|/c");
    EXPECT_FALSE(peer().retryTimerRunning());
    EXPECT_EQ(peer().retryAttempts(), 0);
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/c"), "success");
}

TEST_F(RetryQueue, APassSendsAtMostFiftyPathsAnExchangeAndKeepsOrderOnFailure) {
    auto& service = platform.localService();
    std::vector<std::string> paths;
    for (int i = 0; i < 5000; ++i) paths.push_back("/p" + std::to_string(i));
    service.setAvailability(Availability::refusing);
    peer().addToRetryQueue(paths);
    service.setAvailability(Availability::up);
    // The third exchange of the pass fails: two exchanges got through, the rest waits in order.
    service.scriptNext({Availability::up, Duration(0), std::nullopt});
    service.scriptNext({Availability::up, Duration(0), std::nullopt});
    service.scriptNext({Availability::up, Duration(0), Reply::closeWithoutAnswer()});
    platform.advanceBy(3s);
    // Three exchanges of the pass, then the two batches of the 100 paths that got through, asked for afresh.
    auto requests = batchRequests();
    ASSERT_EQ(requests.size(), 5u);
    for (const auto& request : requests) EXPECT_EQ(countPieces(request.line.substr(13)), 50u);
    EXPECT_EQ(splitOnSeparator(requests[2].line.substr(13)).front(), "/p100");
    EXPECT_THAT((std::set<std::string>{splitOnSeparator(requests[3].line.substr(13)).front(), splitOnSeparator(requests[4].line.substr(13)).front()}),
                ::testing::ElementsAre("/p0", "/p50"));
    auto waiting = peer().retryQueue();
    ASSERT_EQ(waiting.size(), 4900u);
    EXPECT_EQ(waiting.front(), "/p100");
    EXPECT_EQ(waiting.back(), "/p4999");
    EXPECT_TRUE(peer().retryTimerRunning());

    // Against a healthy service the next pass gets everything through, however many paths wait.
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().retryQueue().empty());
    EXPECT_EQ(batchRequests().size(), 5u + 98u + 98u);
    platform.advanceBy(1s);
    EXPECT_FALSE(peer().retryTimerRunning());
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/p4999"), "success");
}

TEST_F(RetryQueue, PathsAddedWhileAStopIsPendingKeepTheTimerRunning) {
    auto& service = platform.localService();
    peer().addToRetryQueue({"/a"});
    // While the pass for /a is under way, another exchange fails elsewhere and hands over /late: it finds the
    // timer running and starts none.
    service.setHandler([&](const std::string& line) {
        if (line == "BATCH_STATUS:/a") peer().addToRetryQueue({"/late"});
        return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n");
    });
    platform.advanceBy(3s);  // the pass, then its stop
    EXPECT_EQ(peer().retryQueue(), std::vector<std::string>{"/late"});
    EXPECT_TRUE(peer().retryTimerRunning());
    platform.advanceBy(3s);
    EXPECT_EQ(batchRequests().back().line, "BATCH_STATUS:/late");
    EXPECT_TRUE(peer().retryQueue().empty());
    platform.advanceBy(1s);
    EXPECT_FALSE(peer().retryTimerRunning());
}

TEST_F(RetryQueue, ATimerFiringOnAnEmptyQueueStops) {
    peer().addToRetryQueue({});
    EXPECT_TRUE(peer().retryTimerRunning());
    platform.advanceBy(3s);
    platform.runUntilIdle();
    EXPECT_FALSE(peer().retryTimerRunning());
    EXPECT_TRUE(batchRequests().empty());
}

}  // namespace
}  // namespace vantorix::testing
