// The extension under load, in virtual time: large folders shown, slow and stalled services, floods of
// notifications. The simulated platform interleaves its threads, so a stalled exchange overlaps the main
// thread's timers and other runs here as it would on a real machine.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

constexpr const char* kFolder = "/Users/someone/Vantorix";

class UnderLoad : public SimulationTest {
protected:
    // A folder of `count` files shown in the stand-in, counting the badges set and those removed.
    void showFolder(int count) {
        shown = std::make_unique<ShownFolder>(platform, kFolder, count, [this](const host::BoundaryCall& call) {
            if (call.call != host::Call::setBadgeIdentifier) return;
            ++badgesSet;
            badgesRemoved += call.badge.empty() && !shown->model.badgeOf(call.path).empty();
        });
        extension = shown->extension;
    }
    void answerBatchesAfter(Duration delay) { platform.localService().setHandler(honestService(platform.localService(), kFolder, delay)); }
    bool allBadged() { return shown->badgesAreTheService(); }

    std::unique_ptr<ShownFolder> shown;
    int badgesRemoved = 0, badgesSet = 0;
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
    showFolder(10000);
    platform.advanceBy(3s);  // the sync folder becomes known; the stand-in asks for every entry
    Duration shownAt = now();
    ASSERT_TRUE(platform.runUntilCondition([&] { return allBadged(); }, 30s));
    EXPECT_LT(now() - shownAt, 9s);
    platform.advanceBy(20s);  // past the first successful check, whose reconnection repaints everything once
    EXPECT_EQ(badgesRemoved, 0);
    EXPECT_TRUE(platform.logEntriesWith("waiting mode entered").empty());

    answerBatchesAfter(0ms);
    badgesSet = 0;
    platform.advanceBy(30s);
    EXPECT_EQ(badgesSet, 0);
    platform.localService().setStatus(shown->files[1234], "3");
    platform.advanceBy(2s);
    EXPECT_EQ(shown->model.badgeOf(shown->files[1234]), "error");
    EXPECT_EQ(badgesSet, 1);

    platform.localService().setHandler([](const std::string&) { return Reply::silence(); });
    platform.advanceBy(20s);  // polling passes fail into the retry queue, the loop's queries time out
    answerBatchesAfter(100ms);
    platform.advanceBy(90s);
    EXPECT_LT(platform.longestMainHold(), 1ms);
    EXPECT_TRUE(allBadged());
    EXPECT_TRUE(peer().retryQueue().empty());

    answerBatchesAfter(0ms);
    std::vector<std::string> names;
    for (int i = 0; i < 20000; ++i) names.push_back("file" + std::to_string(i));
    platform.addDirectory(kFolder, names);
    platform.advanceBy(10s);
    EXPECT_EQ(peer().statusCacheSize(), 20000u);
    shown->model.hide(kFolder);
    platform.advanceBy(1s);
    EXPECT_LE(peer().statusCacheSize(), 2000u);
    platform.removeDirectory(kFolder);
    platform.advanceBy(10s);
    EXPECT_TRUE(peer().batchQueue().empty());
    EXPECT_TRUE(peer().retryQueue().empty());
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_LE(platform.threadCount(), 8u);
}

}  // namespace
}  // namespace vantorix::testing
