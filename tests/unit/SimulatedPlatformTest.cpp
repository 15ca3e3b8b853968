// The simulated platform keeps the guarantees the real one gives, in virtual time, and fails loudly where the
// real one would deadlock or spin.
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

TEST(SimulatedPlatform, RunsBlocksByDueTimeThenSubmissionOrder) {
    SimulatedPlatform platform;
    if (platform.scheduleSeed() != 0) GTEST_SKIP() << "the order of schedule seed 0";
    std::vector<std::string> order;
    auto serial = platform.makeSerialQueue("com.vantorix.test.serial", QualityOfService::defaultQoS);
    platform.mainQueue().asyncAfter(20ms, [&] { order.push_back("main+20ms"); });
    serial->asyncAfter(10ms, [&] { order.push_back("serial+10ms"); });
    platform.globalQueue(QualityOfService::utility).async([&] { order.push_back("global"); });
    platform.mainQueue().async([&] { order.push_back("main"); });
    serial->async([&] { order.push_back("serial"); });
    platform.mainQueue().asyncAfter(10ms, [&] { order.push_back("main+10ms"); });

    // async never runs before it returns, and nothing later than now runs in runUntilIdle.
    EXPECT_TRUE(order.empty());
    platform.runUntilIdle();
    EXPECT_THAT(order, ElementsAre("global", "main", "serial"));
    platform.advanceBy(9ms);
    EXPECT_EQ(order.size(), 3u);
    platform.advanceBy(1ms);
    EXPECT_THAT(order, ElementsAre("global", "main", "serial", "serial+10ms", "main+10ms"));
    platform.advanceBy(10ms);
    EXPECT_EQ(order.back(), "main+20ms");
    EXPECT_DOUBLE_EQ(platform.elapsedSeconds(), 0.020);
}

TEST(SimulatedPlatform, SyncRunsAfterEarlierBlocksOfItsQueueAndKnowsWhereItRuns) {
    SimulatedPlatform platform;
    auto serial = platform.makeSerialQueue("com.vantorix.test.serial", QualityOfService::defaultQoS);
    std::vector<int> order;
    serial->async([&] { order.push_back(1); });
    EXPECT_FALSE(serial->isCurrent());
    serial->sync([&] {
        order.push_back(2);
        EXPECT_TRUE(serial->isCurrent());
    });
    EXPECT_THAT(order, ElementsAre(1, 2));
    EXPECT_TRUE(platform.mainQueue().isCurrent());  // the test thread is the main thread
    platform.globalQueue(QualityOfService::userInitiated).async([&] { EXPECT_FALSE(platform.mainQueue().isCurrent()); });
    platform.runUntilIdle();
}

TEST(SimulatedPlatformDeathTest, ReenteringASerialQueueFailsNamingIt) {
    EXPECT_DEATH(
        {
            SimulatedPlatform platform;
            auto lock = platform.makeSerialQueue("com.vantorix.batch.lock", QualityOfService::defaultQoS);
            lock->sync([&] { lock->sync([] {}); });
        },
        "com.vantorix.batch.lock");
}

TEST(SimulatedPlatformDeathTest, LocksTakenInBothOrdersFail) {
    SimulatedPlatform platform;
    auto batchLock = platform.makeSerialQueue("com.vantorix.batch.lock", QualityOfService::defaultQoS);
    auto waitingModeLock = platform.makeSerialQueue("com.vantorix.waiting.mode.lock", QualityOfService::defaultQoS);
    batchLock->sync([&] { waitingModeLock->sync([] {}); });  // the permitted order, as often as it likes
    batchLock->sync([&] { waitingModeLock->sync([] {}); });
    EXPECT_DEATH(waitingModeLock->sync([&] { batchLock->sync([] {}); }), "lock order inversion");
}

TEST(SimulatedPlatformDeathTest, StepLimitStopsARunawayTimer) {
    EXPECT_DEATH(
        {
            SimulatedPlatform platform;
            platform.setStepLimit(1000);
            auto timer = platform.scheduleTimer(Duration(0), true, [](Timer&) {});
            platform.advanceBy(1s);
        },
        "step limit");
}

TEST(SimulatedPlatform, TimersFireOnTheBoundaryAndSkipFiringsMissedWhileBusy) {
    SimulatedPlatform platform;
    std::vector<double> firings;
    auto repeating = platform.scheduleTimer(1500ms, true, [&](Timer&) { firings.push_back(platform.elapsedSeconds()); });
    int oneShotFirings = 0;
    auto oneShot = platform.scheduleTimer(30ms, false, [&](Timer& timer) {
        ++oneShotFirings;
        EXPECT_FALSE(timer.isValid());  // a one-shot timer is spent the moment it fires
    });
    platform.advanceBy(29ms);
    EXPECT_EQ(oneShotFirings, 0);
    platform.advanceBy(1ms);
    EXPECT_EQ(oneShotFirings, 1);
    platform.advanceBy(1469ms);
    EXPECT_TRUE(firings.empty());
    platform.advanceBy(1ms);
    EXPECT_THAT(firings, ElementsAre(1.5));

    // The main thread is busy for 4 s: the firings due at 3.0 and 4.5 collapse into one late firing, and the
    // schedule keeps its phase.
    platform.mainQueue().async([&] { platform.sleep(4s); });
    platform.advanceBy(7s);
    EXPECT_THAT(firings, ElementsAre(1.5, 5.5, 6.0, 7.5));
    repeating->invalidate();
    platform.advanceBy(10s);
    EXPECT_EQ(firings.size(), 4u);
    EXPECT_EQ(platform.pendingCount(), 0u);
}

TEST(SimulatedPlatform, SemaphoreWaitsUntilItsDeadlineOnly) {
    SimulatedPlatform platform;
    auto semaphore = platform.makeSemaphore(1);
    EXPECT_TRUE(semaphore->wait(platform.monotonicNow() + 5s));
    EXPECT_EQ(platform.elapsedSeconds(), 0.0);
    EXPECT_FALSE(semaphore->wait(platform.monotonicNow() + 5s));
    EXPECT_DOUBLE_EQ(platform.elapsedSeconds(), 5.0);
    EXPECT_FALSE(semaphore->wait(platform.monotonicNow() - 1s));  // a past deadline does not wait
    EXPECT_DOUBLE_EQ(platform.elapsedSeconds(), 5.0);
    semaphore->signal();
    EXPECT_TRUE(semaphore->wait(platform.monotonicNow()));
}

// Reads one answer the way a client does: write a line, wait for bytes, read once.
std::string exchange(SimulatedPlatform& platform, const std::string& request, Duration wait = 2s) {
    StreamPair streams = platform.streamsToHost("127.0.0.1", 27835);
    streams.input->open();
    streams.output->open();
    streams.output->write(reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
    std::string answer;
    if (streams.input->waitForBytes(platform.monotonicNow() + wait)) {
        std::uint8_t buffer[256];
        ssize_t n = streams.input->read(buffer, sizeof buffer);
        answer.assign(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    streams.input->close();
    streams.output->close();
    return answer;
}

TEST(SimulatedNetwork, ScriptsDecideEachConnectionAndRecordEachRequest) {
    SimulatedPlatform platform;
    auto& service = platform.localService();
    service.setStatus("/s/b", "3");
    EXPECT_EQ(exchange(platform, "BATCH_STATUS:/s/a||/s/b\n"), "0|3\n");

    // Delayed pieces: the first read takes only what has arrived.
    service.scriptNext({Availability::up, Duration(0), Reply::inPieces({{100ms, "PO"}, {300ms, "NG\n"}})});
    EXPECT_EQ(exchange(platform, "PING\n"), "PO");
    EXPECT_NEAR(platform.elapsedSeconds(), 0.1, 1e-9);

    // Refused at once; silent until the deadline.
    service.scriptNext({Availability::refusing, Duration(0), std::nullopt});
    EXPECT_EQ(exchange(platform, "PING\n"), "");
    service.scriptNext({Availability::up, Duration(0), Reply::silence()});
    double before = platform.elapsedSeconds();
    EXPECT_EQ(exchange(platform, "PING\n", 1500ms), "");
    EXPECT_NEAR(platform.elapsedSeconds() - before, 1.5, 1e-9);

    ASSERT_EQ(service.requests().size(), 3u);  // the refused connection carried no request
    EXPECT_EQ(service.requests()[0].line, "BATCH_STATUS:/s/a||/s/b");
    EXPECT_EQ(service.connectionsOpenNow(), 0);
}

TEST(SimulatedNetwork, APeerThatNeverReadsStallsTheWriter) {
    SimulatedPlatform platform;
    platform.localService().setAvailability(Availability::acceptsButNeverReads);
    StreamPair streams = platform.streamsToHost("127.0.0.1", 27835);
    streams.input->open();
    streams.output->open();
    std::string big(200 * 1024, 'x');
    ssize_t accepted = streams.output->write(reinterpret_cast<const std::uint8_t*>(big.data()), big.size());
    EXPECT_EQ(accepted, static_cast<ssize_t>(simulation::ScriptedLocalService::kStalledPeerBuffer));
    EXPECT_EQ(streams.output->write(reinterpret_cast<const std::uint8_t*>(big.data()), 10), 0);
    EXPECT_FALSE(streams.output->waitUntilWritable(platform.monotonicNow() + 3s));
    EXPECT_DOUBLE_EQ(platform.elapsedSeconds(), 3.0);
}

}  // namespace
}  // namespace vantorix::testing
