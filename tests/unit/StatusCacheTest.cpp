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
    void SetUp() override { extension = std::make_shared<VantorixFinderSync>(platform); }
};

TEST_F(StatusCache, SyncEntriesLiveFiveSecondsAndOthersThirty) {
    extension->setCachedStatus("/s", "sync");
    extension->setCachedStatus("/e", "error");
    platform.advanceBy(5s);
    EXPECT_EQ(extension->getCachedStatus("/s"), "sync");
    platform.advanceBy(1ms);
    EXPECT_EQ(extension->getCachedStatus("/s"), std::nullopt);
    EXPECT_FALSE(extension->cacheEntryForTesting("/s"));  // the read dropped it
    platform.advanceBy(25s - 1ms);
    EXPECT_EQ(extension->getCachedStatus("/e"), "error");
    platform.advanceBy(1ms);
    EXPECT_EQ(extension->getCachedStatus("/e"), std::nullopt);

    // Storing switches the time to live and restarts the age.
    extension->setCachedStatus("/x", "success");
    platform.advanceBy(20s);
    extension->setCachedStatus("/x", "sync");
    EXPECT_TRUE(extension->cacheEntryForTesting("/x")->isAggressiveTtl);
    platform.advanceBy(5s);
    EXPECT_EQ(extension->getCachedStatus("/x"), "sync");
    extension->setCachedStatus("/x", "success");
    platform.advanceBy(29s);
    EXPECT_EQ(extension->getCachedStatus("/x"), "success");
    // A trailing slash is another key; a reason changes nothing.
    extension->setCachedStatus("/d/", "shared");
    EXPECT_EQ(extension->getCachedStatus("/d"), std::nullopt);
    extension->invalidateCache("/nothing", "any_reason");
    extension->invalidateCache("/d/", "whatever");
    EXPECT_EQ(extension->getCachedStatus("/d/"), std::nullopt);
    EXPECT_EQ(extension->getCachedStatus("/x"), "success");
    extension->invalidateCache(std::nullopt, "everything");
    EXPECT_EQ(extension->statusCacheSizeForTesting(), 0u);
}

TEST_F(StatusCache, TheSweepAppliesTheNormalTimeToLiveToEveryEntry) {
    extension->setCachedStatus("/s", "sync");
    extension->setCachedStatus("/o", "success");
    platform.advanceBy(20s);
    extension->performCacheCleanup();
    EXPECT_TRUE(extension->cacheEntryForTesting("/s"));  // past its 5 s, but the sweep keeps it
    EXPECT_EQ(extension->getCachedStatus("/s"), std::nullopt);  // the read drops it
    platform.advanceBy(10s);
    extension->performCacheCleanup();
    EXPECT_TRUE(extension->cacheEntryForTesting("/o"));  // exactly 30 s
    platform.advanceBy(1s);
    extension->performCacheCleanup();
    EXPECT_EQ(extension->statusCacheSizeForTesting(), 0u);
}

TEST_F(StatusCache, AFullCacheLosesItsOldestEntryFirst) {
    for (int i = 0; i < 2000; ++i) {
        extension->setCachedStatus("/p" + std::to_string(i), "success");
        platform.advanceBy(1ms);
    }
    extension->setCachedStatus("/new", "success");
    EXPECT_EQ(extension->statusCacheSizeForTesting(), 2000u);
    EXPECT_FALSE(extension->cacheEntryForTesting("/p0"));
    // An existing path that is not the oldest: the oldest still goes, and the map shrinks by one.
    extension->setCachedStatus("/p500", "error");
    EXPECT_EQ(extension->statusCacheSizeForTesting(), 1999u);
    EXPECT_FALSE(extension->cacheEntryForTesting("/p1"));
    EXPECT_EQ(extension->cacheEntryForTesting("/p500")->badge, "error");
}

TEST_F(StatusCache, TheSweepRunsEverySixtySecondsAfterStart) {
    // In waiting mode nothing else empties the cache, so only the sweep can remove the entry.
    extension.reset();
    platform.localService().setAvailability(Availability::refusing);
    start();
    extension->setCachedStatus("/o", "success");
    platform.advanceBy(59s);
    EXPECT_TRUE(extension->cacheEntryForTesting("/o"));  // 59 s old, no sweep yet
    platform.advanceBy(1s);
    EXPECT_FALSE(extension->cacheEntryForTesting("/o"));  // the first sweep, one interval after start
}

}  // namespace
}  // namespace vantorix::testing
