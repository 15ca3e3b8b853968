// The file manager stand-in's rules, on the simulated platform with a scripted extension.
#include "FinderStandIn.h"
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

// Records the stand-in's calls into the extension.
struct RecordingExtension final : FinderSyncExtension {
    void requestBadgeIdentifier(const URL& url) override { calls.push_back("request " + url.path()); }
    void beginObservingDirectory(const URL& url) override { calls.push_back("begin " + url.path()); }
    void endObservingDirectory(const URL& url) override { calls.push_back("end " + url.path()); }
    std::vector<std::string> calls;
};

TEST(FinderStandIn, ObservesShownDirectoriesInsideTheObservedSet) {
    SimulatedPlatform platform;
    finder::FinderStandIn standIn(platform, nullptr);
    auto extension = std::make_shared<RecordingExtension>();
    auto calls = [&] { return std::exchange(extension->calls, {}); };  // the calls since the last look
    standIn.attach(extension);
    platform.addDirectory("/S/d", {"b", "a"});

    standIn.show("/S/d");
    standIn.show("/T");  // outside the observed set: never observed
    standIn.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(calls(), ElementsAre("begin /S/d", "request /S/d/a", "request /S/d/b"));
    standIn.setBadgeIdentifier("error", URL::fileURL("/S/d/a"));
    EXPECT_EQ(standIn.badgeOf("/S/d/a"), "error");

    // The same set again changes nothing; an entry that appears is asked for at the next re-listing.
    standIn.setDirectoryURLs({URL::fileURL("/S")});
    platform.addDirectory("/S/d", {"b", "a", "c"});
    platform.advanceBy(1s);
    EXPECT_THAT(calls(), ElementsAre("request /S/d/c"));

    // Removed and put back: observed anew, badges forgotten in between.
    standIn.setDirectoryURLs({});
    EXPECT_EQ(standIn.badgeOf("/S/d/a"), "");
    standIn.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(calls(), ElementsAre("end /S/d", "begin /S/d", "request /S/d/a", "request /S/d/b", "request /S/d/c"));

    // Hiding an observed directory ends its observation.
    standIn.hide("/S/d");
    platform.advanceBy(2s);
    EXPECT_THAT(calls(), ElementsAre("end /S/d"));
}

}  // namespace
}  // namespace vantorix::testing
