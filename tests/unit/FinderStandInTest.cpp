// The file manager stand-in's rules, on the simulated platform with a scripted extension.
#include "FinderStandIn.h"
#include "SimulationFixture.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

// Records the stand-in's calls into the extension.
class RecordingExtension final : public FinderSyncExtension {
public:
    void requestBadgeIdentifier(const URL& url) override { calls.push_back("request " + url.path()); }
    void beginObservingDirectory(const URL& url) override { calls.push_back("begin " + url.path()); }
    void endObservingDirectory(const URL& url) override { calls.push_back("end " + url.path()); }
    std::vector<std::string> calls;
};

TEST(FinderStandIn, ObservesShownDirectoriesInsideTheObservedSet) {
    SimulatedPlatform platform;
    std::vector<std::string> events;
    finder::FinderStandIn standIn(platform, [&](const finder::FinderEvent& event) { events.push_back(event.call + " " + event.path); });
    auto extension = std::make_shared<RecordingExtension>();
    standIn.attach(extension);
    platform.addDirectory("/S/d", {"b", "a"});
    platform.addDirectory("/T", {"x"});

    standIn.show("/S/d");
    standIn.show("/T");
    EXPECT_TRUE(extension->calls.empty());  // nothing observed yet
    standIn.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(extension->calls, ElementsAre("begin /S/d", "request /S/d/a", "request /S/d/b"));
    standIn.setBadgeIdentifier("error", URL::fileURL("/S/d/a"));
    EXPECT_EQ(standIn.badgeOf("/S/d/a"), "error");

    // The same set again changes nothing; an entry that appears is asked for at the next re-listing.
    extension->calls.clear();
    standIn.setDirectoryURLs({URL::fileURL("/S")});
    platform.addDirectory("/S/d", {"b", "a", "c"});
    platform.advanceBy(1s);
    EXPECT_THAT(extension->calls, ElementsAre("request /S/d/c"));

    // Removed and put back: observed anew, badges forgotten in between.
    extension->calls.clear();
    standIn.setDirectoryURLs({});
    EXPECT_EQ(standIn.badgeOf("/S/d/a"), "");
    standIn.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(extension->calls, ElementsAre("end /S/d", "begin /S/d", "request /S/d/a", "request /S/d/b", "request /S/d/c"));

    // Hiding an observed directory ends its observation; a vanished one is simply not listed.
    extension->calls.clear();
    standIn.hide("/S/d");
    platform.advanceBy(2s);
    EXPECT_THAT(extension->calls, ElementsAre("end /S/d"));
    EXPECT_EQ(events.front(), "setDirectoryURLs ");
}

}  // namespace
}  // namespace vantorix::testing
