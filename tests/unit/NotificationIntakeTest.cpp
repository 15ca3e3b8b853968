// The status-change notifications: the acceptance rules on the typed user-info tree, the direct update and the
// confirming requests.
#include "SimulationFixture.h"
#include "notifications/NotificationPayload.h"

#include <gmock/gmock.h>

#include <algorithm>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;
using Dict = PropertyValue::Dictionary;
using Array = PropertyValue::Array;

PropertyValue state(PropertyValue path, PropertyValue code) { return PropertyValue(Dict{{"path", std::move(path)}, {"state", std::move(code)}}); }

std::optional<StatusChangePayload> parse(std::optional<PropertyValue> userInfo, bool readSyncState = true, std::string* why = nullptr) {
    return parseStatusChangePayload(Notification{"VantorixStatusChanged", "", std::move(userInfo)}, readSyncState, why);
}

TEST(NotificationPayload, AcceptsOnlyStringPathsAndReadsSyncStateOnlyAsAnArrayOfDictionaries) {
    std::string why;
    for (auto& [userInfo, reason] : std::vector<std::pair<std::optional<PropertyValue>, std::string>>{
             {std::nullopt, "no user-info"},
             {PropertyValue("text"), "the user-info is not a dictionary"},
             {PropertyValue(Dict{{"sync_state", Array{state("/b", "3")}}}), "no \"paths\""},  // whatever else it carries
             {PropertyValue(Dict{{"paths", "/a"}}), "\"paths\" is not an array"},
             {PropertyValue(Dict{{"paths", Array{"/a", 7}}}), "\"paths\" holds a value that is not a string"}}) {
        EXPECT_FALSE(parse(userInfo, true, &why));
        EXPECT_EQ(why, reason);
    }
    auto payload = parse(PropertyValue(Dict{{"paths", Array{"/a", "/a"}},
                                            {"sync_state", Array{state("/b", "3"), PropertyValue(Dict{{"path", "/c"}}), state("/d", 3), state(true, "1"),
                                                                 PropertyValue(Dict{{"path", "/e"}, {"state", "7"}, {"extra", 1.5}})}},
                                            {"priority", true},
                                            {"timestamp", 1767225600.5}}));
    ASSERT_TRUE(payload);
    EXPECT_THAT(payload->paths, ElementsAre("/a", "/a"));
    ASSERT_EQ(payload->syncState->size(), 2u);  // entries without a string path and state are skipped
    EXPECT_EQ((*payload->syncState)[1].path, "/e");
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Dict{{"path", "/b"}}}}))->syncState);
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Array{PropertyValue(Dict{}), "/x"}}}))->syncState);
    EXPECT_TRUE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Array{}}}))->syncState->empty());
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Array{}}}), false)->syncState);  // paths only
}

class NotificationIntake : public SimulationTest {
protected:
    void SetUp() override {
        extension = VantorixFinderSync::create(platform);
        platform.runUntilIdle();
        platform.recordingFileManager().clear();
        platform.localService().clearRequests();
    }
    void post(const std::string& name, PropertyValue userInfo) { platform.distributedNotificationCenter().post(name, "com.vantorix.localservice", userInfo); }
    std::vector<std::string> asked() {
        std::vector<std::string> paths;
        for (const auto& request : batchRequests()) {
            for (const auto& path : splitOnSeparator(request.line.substr(13))) paths.push_back(path);
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }
};

TEST_F(NotificationIntake, ADirectUpdateIsShownAtOnceThenConfirmedByOneRequest) {
    platform.localService().setStatus("/b", "3");
    // When the confirming request reaches the service, the badge it confirms is already shown.
    std::vector<std::optional<std::string>> shownWhenAsked;
    platform.localService().setHandler([&](const std::string& line) {
        shownWhenAsked.push_back(platform.recordingFileManager().badgeOf(line.substr(13)));
        return Reply::text(simulation::defaultBatchAnswer(platform.localService(), line.substr(13)) + "\n");
    });
    post("VantorixStatusChanged", Dict{{"paths", Array{"/a"}}, {"sync_state", Array{state("/b", "3")}}});
    EXPECT_TRUE(badgeCalls().empty());  // the handler only parses and hands over
    platform.runUntilIdle();
    ASSERT_EQ(badgeCalls().size(), 1u);  // confirmed: no second call
    EXPECT_EQ(badgeCalls()[0].identifier, "error");
    EXPECT_THAT(asked(), ElementsAre("/b"));
    EXPECT_THAT(shownWhenAsked, ElementsAre(std::optional<std::string>("error")));

    // The service says otherwise: the badge is set once more. Paths the line cannot carry are shown, never asked.
    platform.recordingFileManager().clear();
    platform.localService().clearRequests();
    platform.localService().setStatus("/b", "0");
    post("VantorixStatusChanged", Dict{{"paths", Array{}}, {"sync_state", Array{state("/b", "5"), state("/odd|name", "3")}}});
    platform.runUntilIdle();
    EXPECT_EQ(badgeCalls()[0].identifier, "readonly");
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/b"), "success");
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/odd|name"), "error");
    EXPECT_THAT(asked(), ElementsAre("/b"));
}

TEST_F(NotificationIntake, PathsArriveTogetherAreAskedForTogetherInExchangesOfFifty) {
    post("VantorixSharedStatusChanged", Dict{{"paths", Array{"/a", "/b"}}});
    post("VantorixReadonlyStatusChanged", Dict{{"paths", Array{"/c", "/c"}}, {"sync_state", Array{state("/x", "1")}}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/d"}}, {"sync_state", "not an array"}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/e"}}, {"sync_state", Array{}}});
    post("VantorixStatusChanged", Dict{{"paths", 42}, {"sync_state", Array{state("/f", "1")}}});
    post("SomethingElse", Dict{{"paths", Array{"/g"}}});
    platform.runUntilIdle();
    EXPECT_THAT(asked(), ElementsAre("/a", "/b", "/c", "/d"));  // each path once
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/x"), std::nullopt);
    EXPECT_EQ(platform.logEntriesWith("notification ignored").at(0).field("why"), "\"paths\" is not an array");

    platform.localService().clearRequests();
    Array many;
    for (int i = 0; i < 120; ++i) many.push_back("/p" + std::to_string(i));
    post("VantorixSharedStatusChanged", Dict{{"paths", many}});
    platform.runUntilIdle();
    ASSERT_EQ(batchRequests().size(), 3u);
    EXPECT_EQ(countPieces(batchRequests()[2].line.substr(13)), 20u);
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/p119"), "success");

    // The teardown ends the subscriptions.
    const void* observer = extension.get();
    extension.reset();
    platform.discardPendingWork();
    platform.localService().clearRequests();
    post("VantorixSharedStatusChanged", Dict{{"paths", Array{"/a"}}});
    platform.runUntilIdle();
    EXPECT_TRUE(batchRequests().empty());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(observer), 0u);
}

}  // namespace
}  // namespace vantorix::testing
