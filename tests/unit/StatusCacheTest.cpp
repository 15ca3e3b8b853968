// The status cache in virtual time: both sides of each time to live, the sweep, the size limit.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

TEST(Freshness, HoldsUpToTheTimeToLiveInclusive) {
    WallTime stored{};
    CachedStatus sync{"sync", stored, true, true};
    CachedStatus synced{"success", stored, true, false};
    EXPECT_TRUE(isFresh(sync, stored + 5s, 30s, 5s));
    EXPECT_FALSE(isFresh(sync, stored + 5s + 1ns, 30s, 5s));
    EXPECT_TRUE(isFresh(synced, stored + 30s, 30s, 5s));
    EXPECT_FALSE(isFresh(synced, stored + 30s + 1ns, 30s, 5s));
    EXPECT_TRUE(isFresh(synced, stored - 1h, 30s, 5s));  // stamped in the future
    synced.isValid = false;
    EXPECT_FALSE(isFresh(synced, stored, 30s, 5s));
}

class StatusCache : public SimulationTest {
protected:
    void SetUp() override { extension = VantorixFinderSyncTestPeer::makeUnstarted(platform); }
};

TEST_F(StatusCache, SyncEntriesLiveFiveSecondsAndOthersThirty) {
    peer().setCachedStatus("/s", "sync");
    peer().setCachedStatus("/e", "error");
    platform.advanceBy(5s);
    EXPECT_EQ(peer().getCachedStatus("/s"), "sync");
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().getCachedStatus("/s"), std::nullopt);
    EXPECT_FALSE(peer().cacheEntry("/s"));  // the read dropped it
    platform.advanceBy(25s - 1ms);
    EXPECT_EQ(peer().getCachedStatus("/e"), "error");
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().getCachedStatus("/e"), std::nullopt);

    // Storing switches the time to live and restarts the age.
    peer().setCachedStatus("/x", "success");
    platform.advanceBy(20s);
    peer().setCachedStatus("/x", "sync");
    EXPECT_TRUE(peer().cacheEntry("/x")->isAggressiveTtl);
    platform.advanceBy(5s);
    EXPECT_EQ(peer().getCachedStatus("/x"), "sync");
    peer().setCachedStatus("/x", "success");
    platform.advanceBy(29s);
    EXPECT_EQ(peer().getCachedStatus("/x"), "success");
    // A trailing slash is another key; a reason changes nothing.
    peer().setCachedStatus("/d/", "shared");
    EXPECT_EQ(peer().getCachedStatus("/d"), std::nullopt);
    peer().invalidateCache("/nothing", "any_reason");
    peer().invalidateCache("/d/", "whatever");
    EXPECT_EQ(peer().getCachedStatus("/d/"), std::nullopt);
    EXPECT_EQ(peer().getCachedStatus("/x"), "success");
    peer().invalidateCache(std::nullopt, "everything");
    EXPECT_EQ(peer().statusCacheSize(), 0u);
}

TEST_F(StatusCache, TheSweepAppliesTheNormalTimeToLiveToEveryEntry) {
    peer().setCachedStatus("/s", "sync");
    peer().setCachedStatus("/o", "success");
    platform.advanceBy(20s);
    peer().performCacheCleanup();
    EXPECT_TRUE(peer().cacheEntry("/s"));  // past its 5 s, but the sweep keeps it
    EXPECT_EQ(peer().getCachedStatus("/s"), std::nullopt);  // the read drops it
    platform.advanceBy(10s);
    peer().performCacheCleanup();
    EXPECT_TRUE(peer().cacheEntry("/o"));  // exactly 30 s
    platform.advanceBy(1s);
    peer().performCacheCleanup();
    EXPECT_EQ(peer().statusCacheSize(), 0u);
}

TEST_F(StatusCache, AFullCacheLosesItsOldestEntryFirst) {
    for (int i = 0; i < 2000; ++i) {
        peer().setCachedStatus("/p" + std::to_string(i), "success");
        platform.advanceBy(1ms);
    }
    peer().setCachedStatus("/new", "success");
    EXPECT_EQ(peer().statusCacheSize(), 2000u);
    EXPECT_FALSE(peer().cacheEntry("/p0"));
    // An existing path that is not the oldest: the oldest still goes, and the map shrinks by one.
    peer().setCachedStatus("/p500", "error");
    EXPECT_EQ(peer().statusCacheSize(), 1999u);
    EXPECT_FALSE(peer().cacheEntry("/p1"));
    EXPECT_EQ(peer().cacheEntry("/p500")->badge, "error");
}

TEST_F(StatusCache, TheSweepRunsEverySixtySecondsAfterStart) {
    // In waiting mode nothing else empties the cache, so only the sweep can remove the entry.
    extension.reset();
    platform.localService().setAvailability(Availability::refusing);
    start();
    peer().setCachedStatus("/o", "success");
    platform.advanceBy(59s);
    EXPECT_TRUE(peer().cacheEntry("/o"));  // 59 s old, no sweep yet
    platform.advanceBy(1s);
    EXPECT_FALSE(peer().cacheEntry("/o"));  // the first sweep, one interval after start
}

}  // namespace
}  // namespace vantorix::testing
