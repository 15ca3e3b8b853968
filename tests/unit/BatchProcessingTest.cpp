// A run: batches one after another, answers paired by position, one main-thread application that sets only
// new or changed badges.
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

class BatchProcessing : public SimulationTest {
protected:
    void SetUp() override { extension = VantorixFinderSyncTestPeer::makeUnstarted(platform); }
    std::vector<std::string> badgeIdentifiers() {
        std::vector<std::string> identifiers;
        for (const auto& call : badgeCalls()) identifiers.push_back(call.url->path() + "=" + call.identifier);
        return identifiers;
    }
};

TEST_F(BatchProcessing, PairsCodesByPositionAndAppliesOncePerRun) {
    platform.localService().setStatus("/a", "0");
    platform.localService().setStatus("/b", "1");
    platform.localService().setStatus("/c", "3");
    peer().processBatchesFromPaths({"/a", "/b", "/c"});
    EXPECT_TRUE(badgeCalls().empty());  // applied on the main thread, later
    platform.runUntilIdle();
    EXPECT_THAT(badgeIdentifiers(), ElementsAre("/a=success", "/b=sync", "/c=error"));
    EXPECT_EQ(peer().cacheEntry("/c")->badge, "error");

    // Unchanged badges are not set again, but are stored again.
    platform.recordingFileManager().clear();
    platform.advanceBy(4s);  // within the 5 s of the "sync" entry
    platform.localService().setStatus("/c", "4");
    peer().processBatchesFromPaths({"/a", "/b", "/c"});
    platform.runUntilIdle();
    EXPECT_THAT(badgeIdentifiers(), ElementsAre("/c=exclude"));
    EXPECT_EQ(peer().cacheEntry("/a")->timestamp, platform.now());

    // Nothing at all: nothing sent, nothing applied.
    std::size_t pending = platform.pendingCount();
    peer().processBatchesFromPaths({});
    EXPECT_EQ(platform.pendingCount(), pending);
}

TEST_F(BatchProcessing, AFailedBatchDropsOnlyItsOwnResults) {
    std::vector<std::string> paths;
    for (int i = 0; i < 150; ++i) paths.push_back("/p" + std::to_string(i));
    auto& service = platform.localService();
    service.scriptNext({Availability::up, Duration(0), std::nullopt});
    service.scriptNext({Availability::up, Duration(0), Reply::text("0\n")});  // wrong count
    int applications = 0;
    peer().processBatchesFromPaths(paths);
    // One run, three exchanges in order, the second failed.
    auto requests = batchRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(splitOnSeparator(requests[1].line.substr(13)).front(), "/p50");
    platform.runUntilIdle();
    for (const auto& call : badgeCalls()) applications += call.identifier == "success";
    EXPECT_EQ(applications, 100);
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/p50"), std::nullopt);
    EXPECT_EQ(peer().retryQueue().size(), 50u);
    EXPECT_EQ(peer().retryQueue().front(), "/p50");
}

TEST_F(BatchProcessing, PathsTheLineCannotCarryAreNeverSentAndNeverShiftOthers) {
    auto& service = platform.localService();
    service.setStatus("/d/after", "3");
    std::string bars = "/d/" + std::string(300, '|');
    peer().processBatchesFromPaths({"/d/before", "/d/a|b", bars, "/d/line\nfeed", "/d/bad\xFF", "", "/d/after"});
    platform.runUntilIdle();
    ASSERT_EQ(batchRequests().size(), 1u);
    EXPECT_EQ(batchRequests()[0].line, "BATCH_STATUS:/d/before|/d/after");
    EXPECT_THAT(badgeIdentifiers(), ElementsAre("/d/before=success", "/d/after=error"));
    EXPECT_FALSE(peer().waitingMode());

    // A batch of nothing but such paths makes no exchange at all.
    peer().processBatchesFromPaths({"/x|y"});
    EXPECT_EQ(batchRequests().size(), 1u);
}

TEST_F(BatchProcessing, BadgesReachTheItemTheirPathNames) {
    platform.localService().setStatus("/d/C# notes.txt", "3");
    platform.localService().setStatus("/d/100%41.txt", "7");
    peer().processBatchesFromPaths({"/d/C# notes.txt", "/d/what?.txt", "/d/100%41.txt"});
    platform.runUntilIdle();
    EXPECT_THAT(badgeIdentifiers(), ElementsAre("/d/C# notes.txt=error", "/d/what?.txt=success", "/d/100%41.txt=shared"));
    EXPECT_EQ(badgeCalls()[0].url->absoluteString(), "file:///d/C%23%20notes.txt");
}

}  // namespace
}  // namespace vantorix::testing
