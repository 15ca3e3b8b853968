// The file manager stand-in's rules, on the simulated platform with a scripted extension.
#include "FileManagerModel.h"
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

TEST(FileManagerModel, ObservesShownDirectoriesInsideTheObservedSet) {
    SimulatedPlatform platform;
    session::FileManagerModel model(platform, nullptr);
    auto extension = std::make_shared<RecordingExtension>();
    auto calls = [&] { return std::exchange(extension->calls, {}); };  // the calls since the last look
    model.attach(extension);
    platform.addDirectory("/S/d", {"b", "a"});

    model.show("/S/d");
    model.show("/T");  // outside the observed set: never observed
    model.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(calls(), ElementsAre("begin /S/d", "request /S/d/a", "request /S/d/b"));
    model.setBadgeIdentifier("error", URL::fileURL("/S/d/a"));
    EXPECT_EQ(model.badgeOf("/S/d/a"), "error");

    // The same set again changes nothing; an entry that appears is asked for at the next re-listing.
    model.setDirectoryURLs({URL::fileURL("/S")});
    platform.addDirectory("/S/d", {"b", "a", "c"});
    platform.advanceBy(1s);
    EXPECT_THAT(calls(), ElementsAre("request /S/d/c"));

    // Removed and put back: observed anew, badges forgotten in between.
    model.setDirectoryURLs({});
    EXPECT_EQ(model.badgeOf("/S/d/a"), "");
    model.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(calls(), ElementsAre("end /S/d", "begin /S/d", "request /S/d/a", "request /S/d/b", "request /S/d/c"));

    // Hiding an observed directory ends its observation.
    model.hide("/S/d");
    platform.advanceBy(2s);
    EXPECT_THAT(calls(), ElementsAre("end /S/d"));
}

}  // namespace
}  // namespace vantorix::testing
