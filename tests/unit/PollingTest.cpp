// Directory polling in virtual time: one timer per directory, a pass every 1.5 s on the main thread, the ignore
// list, and nothing listed in waiting mode.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class Polling : public SimulationTest {
protected:
    void SetUp() override {
        extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
        platform.addDirectory("/S/d", {"a.txt", ".DS_Store", ".hidden", "sub", "thumbs.db", "Thumbs.db", "desktop.ini", ".localized",
                                       ".Spotlight-V100", ".TemporaryItems", "pipe|name", "new\nline"});
    }
};

TEST_F(Polling, EveryPassQueuesTheVisibleEntriesInListingOrder) {
    peer().startPollingDirectory("/S/d");
    platform.advanceBy(1499ms);
    EXPECT_TRUE(peer().batchQueue().empty());
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().batchQueue(), (std::vector<std::string>{"/S/d/a.txt", "/S/d/.hidden", "/S/d/sub", "/S/d/thumbs.db"}));
    platform.advanceBy(30ms);
    ASSERT_EQ(batchRequests().size(), 1u);
    platform.advanceBy(1470ms);  // the second pass, 3.0 s after the start
    EXPECT_EQ(batchRequests().size(), 1u);
    EXPECT_EQ(peer().batchQueue().size(), 4u);
    platform.advanceBy(30ms);
    EXPECT_EQ(batchRequests().size(), 2u);
}

TEST_F(Polling, StartingAgainReplacesTheTimerAndStoppingEndsIt) {
    peer().startPollingDirectory("/S/d");
    platform.advanceBy(1s);
    peer().startPollingDirectory("/S/d");  // the first pass now comes 1.5 s after this restart
    platform.advanceBy(1499ms);
    EXPECT_TRUE(peer().batchQueue().empty());
    platform.advanceBy(1ms);
    EXPECT_EQ(peer().batchQueue().size(), 4u);
    EXPECT_EQ(peer().observedDirectories(), std::vector<std::string>{"/S/d"});

    peer().stopPollingDirectory("/never/started");
    peer().stopPollingDirectory("/S/d");
    platform.advanceBy(100ms);
    EXPECT_TRUE(peer().observedDirectories().empty());
    std::size_t requests = batchRequests().size();
    platform.advanceBy(10s);
    EXPECT_EQ(batchRequests().size(), requests);

    // With and without the final slash: two directories, two timers, and "//" in the entry paths.
    peer().startPollingDirectory("/S/d/");
    peer().startPollingDirectory("/S/d");
    platform.addDirectory("/S/d/", {"x"});
    platform.advanceBy(1500ms);
    EXPECT_EQ(peer().observedDirectories().size(), 2u);
    EXPECT_EQ(peer().batchQueue().front(), "/S/d//x");
}

TEST_F(Polling, NoListingInWaitingModeOrOfAVanishedDirectory) {
    peer().startPollingDirectory("/S/d");
    peer().setWaitingMode(true);
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().batchQueue().empty());
    peer().setWaitingMode(false);
    platform.removeDirectory("/S/d");
    platform.advanceBy(3s);
    EXPECT_TRUE(peer().batchQueue().empty());
    // It comes back: the same timer finds it again.
    platform.addDirectory("/S/d", {"back"});
    platform.advanceBy(1500ms);
    EXPECT_EQ(peer().batchQueue(), std::vector<std::string>{"/S/d/back"});
}

}  // namespace
}  // namespace vantorix::testing
