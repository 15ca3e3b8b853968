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

std::optional<StatusChangePayload> parse(std::optional<PropertyValue> userInfo, bool readSyncState = true) {
    return parseStatusChangePayload(Notification{"VantorixStatusChanged", "", std::move(userInfo)}, readSyncState);
}

TEST(NotificationPayload, IgnoresWholeNotificationsWithoutAUsableUserInfoOrPaths) {
    PropertyValue goodState(Array{PropertyValue(Dict{{"path", "/b"}, {"state", "3"}})});
    EXPECT_FALSE(parse(std::nullopt));
    EXPECT_FALSE(parse(PropertyValue("not a dictionary")));
    EXPECT_FALSE(parse(PropertyValue(Dict{{"sync_state", goodState}})));  // no paths, whatever else it carries
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", "/a"}})));
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{"/a", 7}}})));
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{"/a", PropertyValue()}}})));
    auto empty = parse(PropertyValue(Dict{{"paths", Array{}}}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->paths.empty());
    EXPECT_FALSE(empty->syncState);
}

TEST(NotificationPayload, ReadsSyncStateOnlyWhenItIsAnArrayOfDictionaries) {
    auto payload = parse(PropertyValue(Dict{{"paths", Array{"/a", "/a"}},
                                            {"sync_state", Array{PropertyValue(Dict{{"path", "/b"}, {"state", "3"}}),
                                                                 PropertyValue(Dict{{"path", "/c"}}),
                                                                 PropertyValue(Dict{{"path", "/d"}, {"state", 3}}),
                                                                 PropertyValue(Dict{{"path", true}, {"state", "1"}}),
                                                                 PropertyValue(Dict{{"path", "/e"}, {"state", "7"}, {"extra", 1.5}})}},
                                            {"priority", true},
                                            {"timestamp", 1767225600.5}}));
    ASSERT_TRUE(payload);
    EXPECT_THAT(payload->paths, ElementsAre("/a", "/a"));
    ASSERT_TRUE(payload->syncState);
    ASSERT_EQ(payload->syncState->size(), 2u);
    EXPECT_EQ((*payload->syncState)[0].path, "/b");
    EXPECT_EQ((*payload->syncState)[1].state, "7");

    // Not an array of dictionaries: absent.
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Dict{{"path", "/b"}, {"state", "3"}}}}))->syncState);
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Array{PropertyValue(Dict{}), "/x"}}}))->syncState);
    EXPECT_TRUE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Array{}}}))->syncState->empty());
    // The shared and read-only notifications never read it.
    EXPECT_FALSE(parse(PropertyValue(Dict{{"paths", Array{}}, {"sync_state", Array{}}}), false)->syncState);
}

class NotificationIntake : public SimulationTest {
protected:
    void SetUp() override {
        extension = VantorixFinderSync::create(platform);
        platform.runUntilIdle();
        platform.recordingFileManager().clear();
        platform.localService().clearRequests();
    }
    void post(const std::string& name, PropertyValue userInfo) {
        platform.distributedNotificationCenter().post(name, "com.vantorix.localservice", userInfo);
    }
    std::vector<std::string> requestedBatches() {
        std::vector<std::string> lines;
        for (const auto& request : batchRequests()) lines.push_back(request.line.substr(13));
        return lines;
    }
};

TEST_F(NotificationIntake, ADirectUpdateShowsTheStateAtOnceThenConfirmsIt) {
    platform.localService().setStatus("/b", "3");
    // When the confirming request reaches the service, the badge it confirms is already shown.
    std::vector<std::optional<std::string>> shownWhenAsked;
    platform.localService().setHandler([&](const std::string& line) {
        if (line.rfind("BATCH_STATUS:", 0) == 0) shownWhenAsked.push_back(platform.recordingFileManager().badgeOf(line.substr(13)));
        return Reply::text(simulation::defaultBatchAnswer(platform.localService(), line.substr(13)) + "\n");
    });
    post("VantorixStatusChanged", Dict{{"paths", Array{"/a"}}, {"sync_state", Array{PropertyValue(Dict{{"path", "/b"}, {"state", "3"}})}}});
    EXPECT_TRUE(badgeCalls().empty());  // the handler only parses and hands over
    platform.runUntilIdle();
    // The badge was set from the notification, then one request for /b alone confirmed it: no second call.
    ASSERT_EQ(badgeCalls().size(), 1u);
    EXPECT_EQ(badgeCalls()[0].identifier, "error");
    EXPECT_EQ(badgeCalls()[0].url->path(), "/b");
    EXPECT_THAT(requestedBatches(), ElementsAre("/b"));
    EXPECT_THAT(shownWhenAsked, ElementsAre(std::optional<std::string>("error")));
    EXPECT_EQ(peer().cacheEntry("/b")->badge, "error");

    // The service says otherwise: the badge is set once more.
    platform.recordingFileManager().clear();
    platform.localService().setStatus("/b", "0");
    post("VantorixStatusChanged", Dict{{"paths", Array{}}, {"sync_state", Array{PropertyValue(Dict{{"path", "/b"}, {"state", "5"}})}}});
    platform.runUntilIdle();
    ASSERT_EQ(badgeCalls().size(), 2u);
    EXPECT_EQ(badgeCalls()[0].identifier, "readonly");
    EXPECT_EQ(badgeCalls()[1].identifier, "success");
}

TEST_F(NotificationIntake, PathsOnlyNotificationsAskForTheirPaths) {
    post("VantorixSharedStatusChanged", Dict{{"paths", Array{"/a", "/b"}}});
    post("VantorixReadonlyStatusChanged", Dict{{"paths", Array{"/c", "/c"}}, {"sync_state", Array{PropertyValue(Dict{{"path", "/x"}, {"state", "1"}})}}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/d"}}, {"sync_state", "not an array"}});
    post("VantorixStatusChanged", Dict{{"paths", Array{}}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/e"}}, {"sync_state", Array{}}});
    post("VantorixStatusChanged", Dict{{"paths", 42}, {"sync_state", Array{PropertyValue(Dict{{"path", "/f"}, {"state", "1"}})}}});
    post("SomethingElse", Dict{{"paths", Array{"/g"}}});
    platform.runUntilIdle();
        // Notifications that arrive together are asked for together, each path once.
    std::vector<std::string> asked;
    for (const auto& batch : requestedBatches()) {
        for (const auto& path : splitOnSeparator(batch)) asked.push_back(path);
    }
    std::sort(asked.begin(), asked.end());
    EXPECT_THAT(asked, ElementsAre("/a", "/b", "/c", "/d"));
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/x"), std::nullopt);
}

TEST_F(NotificationIntake, ManyPathsGoOutInExchangesOfFiftyAndUncarriablePathsAreOnlyShown) {
    Array paths;
    for (int i = 0; i < 120; ++i) paths.push_back("/p" + std::to_string(i));
    post("VantorixSharedStatusChanged", Dict{{"paths", paths}});
    platform.runUntilIdle();
    auto batches = requestedBatches();
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(countPieces(batches[0]), 50u);
    EXPECT_EQ(countPieces(batches[2]), 20u);

    // 10,000 paths in one notification: 200 exchanges of one run.
    platform.localService().clearRequests();
    Array many;
    for (int i = 0; i < 10000; ++i) many.push_back("/q" + std::to_string(i));
    post("VantorixSharedStatusChanged", Dict{{"paths", many}});
    platform.runUntilIdle();
    EXPECT_EQ(batchRequests().size(), 200u);
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/q9999"), "success");

    platform.localService().clearRequests();
    platform.recordingFileManager().clear();
    post("VantorixStatusChanged", Dict{{"paths", Array{}},
                                       {"sync_state", Array{PropertyValue(Dict{{"path", "/odd|name"}, {"state", "3"}}),
                                                            PropertyValue(Dict{{"path", "/caf\xE9"}, {"state", "7"}})}}});
    platform.runUntilIdle();
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/odd|name"), "error");
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/caf\xE9"), "shared");
    EXPECT_TRUE(batchRequests().empty());
}

TEST_F(NotificationIntake, TheTeardownEndsTheSubscriptions) {
    const void* observer = extension.get();
    extension.reset();
    platform.discardPendingWork();
    post("VantorixSharedStatusChanged", Dict{{"paths", Array{"/a"}}});
    platform.runUntilIdle();
    EXPECT_TRUE(batchRequests().empty());
    EXPECT_EQ(platform.distributedNotificationCenter().subscriptionCount(observer), 0u);
}

}  // namespace
}  // namespace vantorix::testing
