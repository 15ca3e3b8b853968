// What only the simulated platform has: its schedule (seed 0 runs blocks in submission order, threads park while
// others run) and its loud failures where a real platform would deadlock or spin. (The guarantees both platforms
// keep are in PlatformConformanceTest; its scripted network is exercised by the exchange tests.)
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

// A blocked thread parks while the others run: the main thread's timer fires while a background block sleeps, and
// two blocks that want the one unit of a semaphore take turns. Under seed 0, blocks run by due time, then in
// submission order.
TEST(SimulatedPlatform, ABlockedThreadParksWhileTheOthersRunAndSeedZeroRunsBlocksByDueTimeThenSubmissionOrder) {
    SimulatedPlatform platform;
    std::vector<std::string> events;
    auto semaphore = platform.makeSemaphore(1);
    for (int block = 0; block < 2; ++block) {
        platform.globalQueue(QualityOfService::userInitiated).async([&] {
            if (!semaphore->wait(platform.monotonicNow() + 5s)) return;
            events.push_back("unit taken at " + std::to_string(toSeconds(platform.elapsed())));
            platform.sleep(3s);
            semaphore->signal();
        });
    }
    auto timer = platform.scheduleTimer(1s, false, [&](Timer&) { events.push_back("timer at " + std::to_string(toSeconds(platform.elapsed()))); });
    platform.advanceBy(10s);
    EXPECT_THAT(events, ElementsAre("unit taken at 0.000000", "timer at 1.000000", "unit taken at 3.000000"));
    EXPECT_EQ(platform.threadCount(), 3u);  // two parked at once, and one for the timer

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
    EXPECT_THAT(order, ElementsAre("global", "main", "serial", "serial+10ms", "main+10ms"));  // not yet the one due at 20 ms
}

// Where a real platform would deadlock or spin, the simulated one fails the test loudly, naming the cause.
TEST(SimulatedPlatformDeathTest, BrokenContractsFailLoudly) {
    auto run = [](const std::function<void(SimulatedPlatform&)>& scenario) {
        SimulatedPlatform platform;
        platform.setStepLimit(1000);
        scenario(platform);
        platform.advanceBy(1s);
    };
    EXPECT_DEATH(run([](SimulatedPlatform& p) { p.globalQueue(QualityOfService::utility).async([&] { p.scheduleTimer(1s, false, [](Timer&) {}); }); }),
                 "scheduleTimer called off the main thread");
    EXPECT_DEATH(run([](SimulatedPlatform& p) {
                     p.globalQueue(QualityOfService::utility).async([&] { p.finderSyncController().setBadgeIdentifier("", URL::fileURL("/a")); });
                 }), "setBadgeIdentifier called off the main thread");
    EXPECT_DEATH(run([](SimulatedPlatform& p) {
                     auto first = p.makeSerialQueue("com.vantorix.batch.lock", QualityOfService::defaultQoS);
                     auto second = p.makeSerialQueue("com.vantorix.waiting.mode.lock", QualityOfService::defaultQoS);
                     first->sync([&] { second->sync([] {}); });  // the permitted order
                     second->sync([&] { first->sync([] {}); });
                 }), "lock order inversion");
    EXPECT_DEATH(run([](SimulatedPlatform& p) { static auto timer = p.scheduleTimer(Duration(0), true, [](Timer&) {}); }), "step limit");
}

}  // namespace
}  // namespace vantorix::testing
