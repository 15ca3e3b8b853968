// The batch queue in virtual time: coalescing, the 0.03 s timer and the immediate flush at 50, and holding in
// waiting mode.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class BatchQueue : public SimulationTest {
protected:
    void SetUp() override { startWithSyncFolder("/S"); }

    std::vector<std::string> paths(int count, const std::string& prefix = "/S/f") {
        std::vector<std::string> result;
        for (int i = 0; i < count; ++i) result.push_back(prefix + std::to_string(i));
        return result;
    }

    // The number of paths in each batch request since `from`.
    std::vector<std::size_t> batchSizes(std::size_t from = 0) {
        std::vector<std::size_t> sizes;
        auto requests = batchRequests();
        for (std::size_t i = from; i < requests.size(); ++i) sizes.push_back(countPieces(requests[i].line.substr(13)));
        return sizes;
    }
};

TEST_F(BatchQueue, OnePathGoesOutThirtyMillisecondsLaterOnce) {
    std::size_t before = batchRequests().size();
    peer().addToBatchQueue("/S/a");
    peer().addToBatchQueue("/S/a");
    EXPECT_EQ(peer().batchQueue(), std::vector<std::string>{"/S/a"});
    platform.advanceBy(29ms);
    EXPECT_EQ(batchRequests().size(), before);
    platform.advanceBy(1ms);
    ASSERT_EQ(batchRequests().size(), before + 1);
    EXPECT_EQ(batchRequests().back().line, "BATCH_STATUS:/S/a");
    EXPECT_FALSE(peer().batchTimerPending());
    // Added again after the flush, it is queued again.
    peer().addToBatchQueue("/S/a");
    platform.advanceBy(30ms);
    EXPECT_EQ(batchRequests().size(), before + 2);
}

TEST_F(BatchQueue, TheFiftiethPathFlushesAtOnceAndRunsAreSequential) {
    std::size_t before = batchRequests().size();
    auto many = paths(120);
    for (int i = 0; i < 50; ++i) peer().addToBatchQueue(many[static_cast<std::size_t>(i)]);
    EXPECT_TRUE(peer().batchQueue().empty());  // flushed inside the fiftieth addition
    EXPECT_FALSE(peer().batchTimerPending());
    for (int i = 50; i < 120; ++i) peer().addToBatchQueue(many[static_cast<std::size_t>(i)]);
    EXPECT_EQ(peer().batchQueue().size(), 20u);
    platform.runUntilIdle();
    EXPECT_EQ(batchSizes(before), (std::vector<std::size_t>{50, 50}));
    platform.advanceBy(30ms);
    EXPECT_EQ(batchSizes(before), (std::vector<std::size_t>{50, 50, 20}));
    for (int i = 0; i < 120; ++i) EXPECT_EQ(platform.recordingFileManager().badgeOf(many[static_cast<std::size_t>(i)]), "success");
}

TEST_F(BatchQueue, WaitingModeHoldsThePathsAndTheyGoOutAfterIt) {
    peer().addToBatchQueue("/S/a");
    peer().enterWaitingMode("test");
    platform.runUntilIdle();
    EXPECT_TRUE(peer().batchQueue().empty());  // the entry drops what was queued
    EXPECT_FALSE(peer().batchTimerPending());
    std::size_t before = batchRequests().size();

    peer().addToBatchQueue("/S/b");
    peer().addToBatchQueue("/S/c");
    platform.advanceBy(1s);
    EXPECT_EQ(batchRequests().size(), before);
    EXPECT_EQ(peer().batchQueue(), (std::vector<std::string>{"/S/b", "/S/c"}));
    // The held flush cleared its spent timer, so the next addition after waiting mode starts a new one.
    EXPECT_FALSE(peer().batchTimerPending());
    peer().exitWaitingMode("test");
    peer().addToBatchQueue("/S/d");
    platform.advanceBy(30ms);
    ASSERT_EQ(batchRequests().size(), before + 1);
    EXPECT_EQ(batchRequests().back().line, "BATCH_STATUS:/S/b|/S/c|/S/d");
}

TEST_F(BatchQueue, AFlushOfManyHeldPathsCutsBatchesOfFifty) {
    peer().enterWaitingMode("test");
    platform.runUntilIdle();
    for (const auto& path : paths(129)) peer().addToBatchQueue(path);
    EXPECT_EQ(peer().batchQueue().size(), 129u);
    peer().exitWaitingMode("test");
    std::size_t before = batchRequests().size();
    // 129 held; the next addition flushes all 130 at once.
    peer().addToBatchQueue("/S/last");
    platform.runUntilIdle();
    EXPECT_EQ(batchSizes(before), (std::vector<std::size_t>{50, 50, 30}));
}

}  // namespace
}  // namespace vantorix::testing
