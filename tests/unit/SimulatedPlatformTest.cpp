// What only the simulated platform has: its schedule (seed 0 runs blocks in submission order, threads park while
// others run), its loud failures where a real platform would deadlock or spin, and its scripted network. (The
// guarantees both platforms keep are in PlatformConformanceTest.)
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

// A blocked thread parks while the others run: the main thread's timer fires while a background block sleeps, and
// two blocks that want the one unit of a semaphore take turns.
TEST(SimulatedPlatform, ABlockedThreadParksWhileTheOthersRun) {
    SimulatedPlatform platform;
    std::vector<std::string> events;
    auto semaphore = platform.makeSemaphore(1);
    for (int block = 0; block < 2; ++block) {
        platform.globalQueue(QualityOfService::userInitiated).async([&] {
            if (!semaphore->wait(platform.monotonicNow() + 5s)) return;
            events.push_back("unit taken at " + std::to_string(platform.elapsedSeconds()));
            platform.sleep(3s);
            semaphore->signal();
        });
    }
    auto timer = platform.scheduleTimer(1s, false, [&](Timer&) { events.push_back("timer at " + std::to_string(platform.elapsedSeconds())); });
    platform.advanceBy(10s);
    EXPECT_THAT(events, ElementsAre("unit taken at 0.000000", "timer at 1.000000", "unit taken at 3.000000"));
    EXPECT_EQ(platform.threadCount(), 3u);  // two parked at once, and one for the timer
}

TEST(SimulatedPlatformDeathTest, CallsReservedForTheMainThreadFailElsewhere) {
    EXPECT_DEATH(
        {
            SimulatedPlatform platform;
            platform.globalQueue(QualityOfService::utility).async([&] { platform.scheduleTimer(1s, false, [](Timer&) {}); });
            platform.runUntilIdle();
        },
        "scheduleTimer called off the main thread");
    EXPECT_DEATH(
        {
            SimulatedPlatform platform;
            platform.globalQueue(QualityOfService::utility).async([&] { platform.finderSyncController().setBadgeIdentifier("", URL::fileURL("/a")); });
            platform.runUntilIdle();
        },
        "setBadgeIdentifier called off the main thread");
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

}  // namespace
}  // namespace vantorix::testing
