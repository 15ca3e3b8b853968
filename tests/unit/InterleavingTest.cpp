// Scenarios that need threads to overlap: a stalled exchange while the main thread's timers run, runs that
// contend for the connection turn, a flood of notifications. The simulated platform interleaves its threads, so
// each one runs here in virtual time.
#include "FinderStandIn.h"
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

class Interleaving : public SimulationTest {
protected:
    static constexpr const char* kFolder = "/Users/someone/Vantorix";

    // A folder of `count` files shown in the file manager stand-in.
    void showFolder(int count) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) names.push_back("f" + std::to_string(i));
        platform.addDirectory(kFolder, names);
        for (const auto& name : names) files.push_back(std::string(kFolder) + "/" + name);
        standIn = std::make_unique<finder::FinderStandIn>(platform, [this](const finder::FinderEvent& event) {
            if (event.call == "setBadgeIdentifier" && event.badge.empty() && !standIn->badgeOf(event.path).empty()) ++badgesRemoved;
        });
        platform.setFinderSyncController(standIn.get());
        platform.localService().setSyncPath(kFolder);
        extension = VantorixFinderSync::create(platform);
        standIn->attach(extension);
        standIn->show(kFolder);
    }

    void TearDown() override {
        extension.reset();
        platform.discardPendingWork();
        platform.setFinderSyncController(&platform.recordingFileManager());
    }

    // Batch answers that take `delay` each; everything else at once.
    void answerBatchesAfter(Duration delay) {
        auto& service = platform.localService();
        service.setHandler([&service, delay](const std::string& line) {
            if (line == "PING") return Reply::text("PONG\n");
            if (line == "GET_SYNC_PATH") return Reply::text(std::string(kFolder) + "\n");
            return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n", delay);
        });
    }

    bool allBadged() {
        for (const auto& file : files) {
            if (standIn->badgeOf(file) != "success") return false;
        }
        return true;
    }

    std::vector<std::string> files;
    std::unique_ptr<finder::FinderStandIn> standIn;
    int badgesRemoved = 0;
};

// Paths held by waiting mode, asked for again after it: the duplicate must not strand them.
TEST_F(Interleaving, HeldPathsLeaveWaitingModeWithAFlushOnItsWay) {
    startWithSyncFolder(kFolder);
    const std::string a = std::string(kFolder) + "/a";
    peer().enterWaitingMode("test");
    peer().addToBatchQueue(a);
    platform.advanceBy(100ms);  // the flush timer fires and the flush holds the path
    ASSERT_THAT(peer().batchQueue(), ::testing::ElementsAre(a));
    peer().exitWaitingMode("test");
    peer().addToBatchQueue(a);  // the file manager asks again after the repaint
    platform.advanceBy(1s);
    EXPECT_EQ(platform.recordingFileManager().badgeOf(a), "success");
    EXPECT_TRUE(peer().batchQueue().empty());
}

// A stalled service with 10,000 paths to retry and the sync-path loop asking: the main thread never waits.
TEST_F(Interleaving, TheMainThreadNeverWaitsOnTheNetwork) {
    showFolder(10000);
    platform.advanceBy(5s);
    ASSERT_TRUE(allBadged());
    platform.localService().setHandler([](const std::string&) { return Reply::silence(); });
    platform.advanceBy(20s);  // polling passes fail into the retry queue, the loop's queries time out
    answerBatchesAfter(100ms);
    platform.advanceBy(90s);
    EXPECT_LT(platform.longestMainHold(), 1ms);
    EXPECT_TRUE(allBadged());
    EXPECT_TRUE(peer().retryQueue().empty());
}

// 10,000 files and a service that takes 30 ms a batch: the first pass takes the time its 200 exchanges take,
// the extension never gives up on the service, and no badge is removed.
TEST_F(Interleaving, ASlowServiceNeverRemovesBadgesAndTheFirstPassEnds) {
    answerBatchesAfter(30ms);
    showFolder(10000);
    platform.advanceBy(3s);  // the sync folder becomes known; the stand-in asks for every entry
    double shown = now();
    ASSERT_TRUE(platform.runUntilCondition([&] { return allBadged(); }, 30s));
    EXPECT_LT(now() - shown, 9.0);
    platform.advanceBy(20s);
    EXPECT_EQ(badgesRemoved, 0);
    EXPECT_TRUE(platform.logEntriesWith("waiting mode entered").empty());
    EXPECT_LE(platform.threadCount(), 8u);
}

// A flood of notifications while batches stall: memory and threads stay bounded, and no notified path is lost.
TEST_F(Interleaving, ANotificationFloodIsCoalescedAndNothingIsLost) {
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
    std::set<std::string> asked;
    for (const auto& request : batchRequests()) {
        for (const auto& path : splitOnSeparator(request.line.substr(13))) asked.insert(path);
    }
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(asked.count("/n" + std::to_string(i)), 1u) << "never asked for /n" << i;
}

}  // namespace
}  // namespace vantorix::testing
