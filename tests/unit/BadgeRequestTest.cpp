// The file manager's badge requests: removed at once, or queued; never answered from the cache.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class BadgeRequest : public SimulationTest {
protected:
    void SetUp() override { startWithSyncFolder("/Users/me/Sync"); }
    // Requests a badge; returns whether it was queued, and checks that otherwise only a removal followed.
    bool queued(const std::string& path) {
        platform.recordingFileManager().clear();
        auto before = peer().batchQueue();
        extension->requestBadgeIdentifier(URL::fileURL(path));
        bool wasQueued = peer().batchQueue().size() > before.size();
        platform.runUntilIdle();
        if (!wasQueued) {
            auto calls = badgeCalls();
            EXPECT_EQ(calls.size(), 1u) << path;
            if (!calls.empty()) {
                EXPECT_EQ(calls[0].identifier, "") << path;
                EXPECT_EQ(calls[0].url->path(), path);
            }
        }
        return wasQueued;
    }
};

TEST_F(BadgeRequest, OnlyItemsInsideTheSyncFolderAreQueued) {
    EXPECT_TRUE(queued("/Users/me/Sync/a.txt"));
    EXPECT_TRUE(queued("/Users/me/Sync/deep/er/b.txt"));
    EXPECT_FALSE(queued("/Users/me/Sync"));           // the folder itself never has a badge
    EXPECT_FALSE(queued("/Users/me/SyncOther/c"));     // a sibling sharing the prefix
    EXPECT_FALSE(queued("/Users/me/sync/a.txt"));      // case matters
    EXPECT_FALSE(queued("/elsewhere/a.txt"));
    EXPECT_FALSE(queued("/Users/me/Sync/pipe|name"));  // the request line cannot carry it
    EXPECT_FALSE(queued("/Users/me/Sync/bad\xFF"));
    EXPECT_TRUE(queued("/Users/me/Sync/C# notes.txt"));

    // Twice before the flush: queued once.
    extension->requestBadgeIdentifier(URL::fileURL("/Users/me/Sync/twice"));
    extension->requestBadgeIdentifier(URL::fileURL("/Users/me/Sync/twice"));
    auto queue = peer().batchQueue();
    EXPECT_EQ(std::count(queue.begin(), queue.end(), "/Users/me/Sync/twice"), 1);
}

TEST_F(BadgeRequest, TheCacheIsNotAskedAndTheAnswerSetsTheBadge) {
    peer().setCachedStatus("/Users/me/Sync/a.txt", "error");
    platform.localService().setStatus("/Users/me/Sync/a.txt", "3");
    extension->requestBadgeIdentifier(URL::fileURL("/Users/me/Sync/a.txt"));
    EXPECT_EQ(peer().batchQueue(), std::vector<std::string>{"/Users/me/Sync/a.txt"});
    platform.advanceBy(30ms);
    // The answer equals the cached badge, so the file manager is not called again.
    EXPECT_TRUE(badgeCalls().empty());
    platform.localService().setStatus("/Users/me/Sync/a.txt", "0");
    extension->requestBadgeIdentifier(URL::fileURL("/Users/me/Sync/a.txt"));
    platform.advanceBy(30ms);
    ASSERT_EQ(badgeCalls().size(), 1u);
    EXPECT_EQ(badgeCalls()[0].identifier, "success");
}

TEST_F(BadgeRequest, NothingIsQueuedInWaitingModeOrBeforeTheFolderIsKnown) {
    peer().setWaitingMode(true);
    EXPECT_FALSE(queued("/Users/me/Sync/a.txt"));
    extension.reset();
    platform.discardPendingWork();
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);  // no sync folder yet
    EXPECT_FALSE(queued("/Users/me/Sync/a.txt"));
}

}  // namespace
}  // namespace vantorix::testing
