// The simulated platform and the extension at scale on it, in virtual time.
//
// What only the simulated platform has: its schedule (seed 0 runs blocks in submission order, threads park while
// others run) and its loud failures where a real platform would deadlock or spin. (The guarantees both platforms
// keep are in the platform tests (PlatformTest.cpp); its scripted network is exercised by the exchange tests.)
//
// The extension under load: large folders shown, slow and stalled services, floods of notifications. The simulated
// platform interleaves its threads, so a stalled exchange overlaps the main thread's timers and other runs here as
// it would on a real machine.
//
// Seeded outages, wall-clock steps and recoveries over five simulated minutes, then a service that flaps every
// second, with the sync folder shown in the file manager stand-in: once the service is healthy again, every shown
// badge converges on the service's status and no path is left behind in a queue. One seed fixes both the faults
// and the schedule of the threads, so a failing seed replays exactly.
#include "SimulationFixture.h"

#include <gmock/gmock.h>

#include <random>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

constexpr const char* kFolder = "/Users/someone/Vantorix";

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
    // Nothing later than now runs in runUntilIdle. (That async never runs before it returns, nor asyncAfter early:
    // PlatformConformance on this platform.)
    platform.runUntilIdle();
    EXPECT_THAT(order, ElementsAre("global", "main", "serial"));
    platform.advanceBy(10ms);
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

class UnderLoad : public SimulationTest {
protected:
    void answerBatchesAfter(Duration delay) { platform.localService().setHandler(honestService(platform.localService(), kFolder, delay)); }
};

// A flood of notifications while batches stall: memory and threads stay bounded, and no notified path is lost.
TEST_F(UnderLoad, ANotificationFloodIsCoalescedAndNothingIsLost) {
    startWithSyncFolder(kFolder);
    platform.localService().setHandler([](const std::string& line) { return line == "PING" ? Reply::text("PONG\n") : Reply::silence(); });
    for (int i = 0; i < 1000; ++i) {
        PropertyValue::Array paths{PropertyValue("/n" + std::to_string(i)), PropertyValue("/common")};
        platform.distributedNotificationCenter().post("VantorixSharedStatusChanged", "", PropertyValue(PropertyValue::Dictionary{{"paths", paths}}));
        platform.advanceBy(10ms);
    }
    EXPECT_LE(platform.threadCount(), 8u);
    answerBatchesAfter(0ms);
    platform.advanceBy(30s);
    auto asked = askedPaths();
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(asked.contains("/n" + std::to_string(i))) << "never asked for /n" << i;
}

// 10,000 files, first through a service that takes 30 ms a batch: the first pass takes the time its 200 exchanges
// take, the extension never gives up on the service, and no badge is removed. At rest no badge is set again while
// nothing changes, and a change is still shown. A stalled service with the paths to retry and the sync-path loop
// asking: the main thread never waits. Grown by 10,000 entries, far beyond the cache's limit, the folder stays
// covered; once hidden, its entries fall under the limit again; vanished, it leaves nothing behind.
TEST_F(UnderLoad, ALargeFolderThroughASlowServiceRestAndAStallKeepsItsBadgesAndNeverHoldsTheMainThread) {
    answerBatchesAfter(30ms);
    int badgesRemoved = 0, badgesSet = 0;  // by the stand-in showing the folder
    ShownFolder shown(platform, kFolder, 10000, [&](const host::BoundaryCall& call) {
        if (call.call != host::Call::setBadgeIdentifier) return;
        ++badgesSet;
        badgesRemoved += call.badge.empty() && !shown.model.badgeOf(call.path).empty();
    });
    extension = shown.extension;
    platform.advanceBy(3s);  // the sync folder becomes known; the stand-in asks for every entry
    Duration shownAt = now();
    ASSERT_TRUE(platform.runUntilCondition([&] { return shown.badgesAreTheService(); }, 30s));
    EXPECT_LT(now() - shownAt, 9s);
    platform.advanceBy(20s);  // past the first successful check, whose reconnection repaints everything once
    EXPECT_EQ(badgesRemoved, 0);
    EXPECT_TRUE(platform.logEntriesWith("waiting mode entered").empty());

    answerBatchesAfter(0ms);
    badgesSet = 0;
    platform.advanceBy(30s);
    EXPECT_EQ(badgesSet, 0);
    platform.localService().setStatus(shown.files[1234], "3");
    platform.advanceBy(2s);
    EXPECT_EQ(shown.model.badgeOf(shown.files[1234]), "error");
    EXPECT_EQ(badgesSet, 1);

    platform.localService().setHandler([](const std::string&) { return Reply::silence(); });
    platform.advanceBy(20s);  // polling passes fail into the retry queue, the loop's queries time out
    answerBatchesAfter(100ms);
    platform.advanceBy(90s);
    EXPECT_LT(platform.longestMainHold(), 1ms);
    EXPECT_TRUE(shown.badgesAreTheService());
    EXPECT_TRUE(peer().retryQueue().empty());

    answerBatchesAfter(0ms);
    platform.addDirectory(kFolder, numbered("file", 20000));
    platform.advanceBy(10s);
    EXPECT_EQ(peer().statusCacheSize(), 20000u);
    shown.model.hide(kFolder);
    platform.advanceBy(1s);
    EXPECT_LE(peer().statusCacheSize(), 2000u);
    platform.removeDirectory(kFolder);
    platform.advanceBy(10s);
    EXPECT_TRUE(peer().batchQueue().empty());
    EXPECT_TRUE(peer().retryQueue().empty());
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_LE(platform.threadCount(), 8u);
}

enum class Fault { down, stalledAnswers, neverReads, slowConnect, garbage, pongToEverything, failingBatches, wallClockStep };

// One story: a platform, the stand-in showing the sync folder, and the extension, driven by one seed. Every call
// across the file manager boundary is kept in `trace`, with its virtual time.
class OutageStory {
public:
    explicit OutageStory(unsigned seed) {
        platform.setScheduleSeed(seed);
        random.seed(static_cast<unsigned>(platform.scheduleSeed()));
        healthy();
        shown = std::make_unique<ShownFolder>(platform, kFolder, 150, [this](const host::BoundaryCall& c) {
            trace.push_back(std::to_string(platform.monotonicNow().time_since_epoch().count()) + " " + std::string(host::nameOf(c.call)) + " " + c.badge + " " + c.path);
        });
        for (const auto& file : shown->files) platform.localService().setStatus(file, randomCode());
    }

    // Five minutes of alternating health and faults, then a minute of a fault every other second, with statuses
    // changing all along; healthy at the end.
    void run() {
        while (platform.elapsed() < 300s) {
            platform.advanceBy(randomDuration(2, 40));
            changeStatuses(5);
            inject(static_cast<Fault>(std::uniform_int_distribution<int>(0, 7)(random)));
            platform.advanceBy(randomDuration(1, 30));
            healthy();
        }
        for (int second = 0; second < 60; ++second) {
            if (second % 2 == 0) inject(static_cast<Fault>(std::uniform_int_distribution<int>(0, 7)(random)));
            else healthy(), changeStatuses(1);
            platform.advanceBy(1s);
        }
        healthy();
        changeStatuses(20);
    }
    bool converged() const { return shown->badgesAreTheService(); }

    SimulatedPlatform platform;
    std::vector<std::string> trace;
    std::unique_ptr<ShownFolder> shown;

private:
    std::string randomCode() { return std::to_string(std::uniform_int_distribution<int>(0, 7)(random)); }
    Duration randomDuration(double minSeconds, double maxSeconds) { return seconds(std::uniform_real_distribution<double>(minSeconds, maxSeconds)(random)); }
    void changeStatuses(int count) {
        const auto& files = shown->files;
        for (int k = 0; k < count; ++k) platform.localService().setStatus(files[std::uniform_int_distribution<std::size_t>(0, files.size() - 1)(random)], randomCode());
    }

    void healthy() {
        platform.localService().setAvailability(Availability::up);
        platform.localService().setHandler(honestService(platform.localService(), kFolder));
    }

    void inject(Fault fault) {
        auto& service = platform.localService();
        switch (fault) {
        case Fault::down: service.setAvailability(Availability::refusing); break;
        case Fault::stalledAnswers: service.setHandler([](const std::string&) { return Reply::silence(); }); break;
        case Fault::neverReads: service.setAvailability(Availability::acceptsButNeverReads); break;
        case Fault::slowConnect: service.setAvailability(Availability::slowConnect, 400ms); break;
        case Fault::garbage:
            service.setHandler([this](const std::string&) {
                static const std::vector<std::string> junk{"\xFF\xFE garbage\n", "PONG|PONG|PONG\n", "", "0|1|2|3|4|5\n", "ERROR: nope\n", "\n"};
                return Reply::text(junk[std::uniform_int_distribution<std::size_t>(0, junk.size() - 1)(random)]);
            });
            break;
        case Fault::pongToEverything: service.setHandler([](const std::string&) { return Reply::text("PONG\n"); }); break;
        // Set back or forwards by up to two minutes; the service stays healthy.
        case Fault::wallClockStep: platform.stepWallClock(randomDuration(-120, 120)); break;
        case Fault::failingBatches:
            service.setHandler([honest = honestService(service, kFolder)](const std::string& line) {
                return line.starts_with("BATCH_STATUS:") ? Reply::closeWithoutAnswer() : honest(line);
            });
            break;
        }
    }

    std::mt19937 random;
};

class OutageScenario : public ::testing::TestWithParam<unsigned> {};

TEST_P(OutageScenario, BadgesConvergeAfterTheLastRecovery) {
    OutageStory story(GetParam());
    SCOPED_TRACE("replay this schedule: VANTORIX_SEED=" + std::to_string(story.platform.scheduleSeed()) +
                 " ctest --test-dir build -R 'OutageScenario.*/" + std::to_string(GetParam()) + "$'");
    story.run();
    double recovered = toSeconds(story.platform.elapsed());
    VantorixFinderSyncTestPeer peer(*story.shown->extension);
    ASSERT_TRUE(story.platform.runUntilCondition([&] { return story.converged(); }, 10s)) << "badges not converged 10 s after the recovery at " << recovered;
    // Converged at this moment; and stays so while the service is healthy.
    story.platform.advanceBy(5s);
    EXPECT_TRUE(story.converged());
    EXPECT_TRUE(peer.retryQueue().empty());
    EXPECT_FALSE(peer.waitingMode());
    // A polling pass may have queued paths a moment ago; they leave with the next flush.
    EXPECT_TRUE(story.platform.runUntilCondition([&] { return peer.batchQueue().empty(); }, 100ms));
}

// 200 seeds; fewer under the sanitizers, whose threads run many times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
INSTANTIATE_TEST_SUITE_P(Seeds, OutageScenario, ::testing::Range(1u, 26u));
#else
INSTANTIATE_TEST_SUITE_P(Seeds, OutageScenario, ::testing::Range(1u, 201u));
#endif

// One seed is one schedule: two runs of the same story make the same calls at the same virtual times.
TEST(OutageStoryReplay, OneSeedIsOneSchedule) {
    auto traceOf = [](unsigned seed) {
        OutageStory story(seed);  // one platform at a time: each holds its scheduler's lock for the test's thread
        story.run();
        return story.trace;
    };
    auto first = traceOf(7);
    EXPECT_GT(first.size(), 1000u);
    EXPECT_EQ(first, traceOf(7));
}

}  // namespace
}  // namespace vantorix::testing
