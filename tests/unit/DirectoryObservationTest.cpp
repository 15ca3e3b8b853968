// Opening and closing directories of the observed set.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class DirectoryObservation : public SimulationTest {
protected:
    void SetUp() override { startWithSyncFolder("/S"); }
};

TEST_F(DirectoryObservation, OpeningDropsTheDirectorysCacheStartsPollingAndRereadsTheFolder) {
    for (const char* path : {"/S/D", "/S/D/a", "/S/D/x/y", "/S/Docs", "/S/E/a"}) peer().setCachedStatus(path, "success");
    std::size_t queries = platform.localService().requestsStartingWith("GET_SYNC_PATH").size();
    extension->beginObservingDirectory(URL::fileURL("/S/D"));
    // The plain prefix test also takes the sibling that merely starts with the same letters.
    EXPECT_FALSE(peer().cacheEntry("/S/D"));
    EXPECT_FALSE(peer().cacheEntry("/S/D/x/y"));
    EXPECT_FALSE(peer().cacheEntry("/S/Docs"));
    EXPECT_TRUE(peer().cacheEntry("/S/E/a"));

    // Twice in a row: two folder updates, one after another on the request queue.
    extension->beginObservingDirectory(URL::fileURL("/S/D"));
    platform.runUntilIdle();
    auto requests = platform.localService().requests();
    std::vector<std::string> tail;
    for (std::size_t i = requests.size() - 4; i < requests.size(); ++i) tail.push_back(requests[i].line);
    EXPECT_EQ(tail, (std::vector<std::string>{"PING", "GET_SYNC_PATH", "PING", "GET_SYNC_PATH"}));
    EXPECT_EQ(platform.localService().requestsStartingWith("GET_SYNC_PATH").size(), queries + 2);
    auto observed = peer().observedDirectories();
    EXPECT_NE(std::find(observed.begin(), observed.end(), "/S/D"), observed.end());

    // Closing stops the polling and leaves the cache alone.
    peer().setCachedStatus("/S/D/z", "sync");
    extension->endObservingDirectory(URL::fileURL("/S/D"));
    platform.runUntilIdle();
    observed = peer().observedDirectories();
    EXPECT_EQ(std::find(observed.begin(), observed.end(), "/S/D"), observed.end());
    EXPECT_TRUE(peer().cacheEntry("/S/D/z"));
}

}  // namespace
}  // namespace vantorix::testing
