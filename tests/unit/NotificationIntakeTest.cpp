// The status-change notifications: why a user-info tree is refused, the direct update and the confirming requests.
#include "SimulationFixture.h"
#include "notifications/NotificationPayload.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;
using Dict = PropertyValue::Dictionary;
using Array = PropertyValue::Array;

PropertyValue state(PropertyValue path, PropertyValue code) { return PropertyValue(Dict{{"path", std::move(path)}, {"state", std::move(code)}}); }

std::optional<StatusChangePayload> parse(std::optional<PropertyValue> userInfo, bool readSyncState = true, std::string* why = nullptr) {
    return parseStatusChangePayload(Notification{"VantorixStatusChanged", "", std::move(userInfo)}, readSyncState, why);
}

TEST(NotificationPayload, SaysWhyItRefusesATree) {
    std::string why;
    for (auto& [userInfo, reason] : std::vector<std::pair<std::optional<PropertyValue>, std::string>>{
             {std::nullopt, "no user-info"}, {PropertyValue("text"), "the user-info is not a dictionary"},
             {PropertyValue(Dict{{"sync_state", Array{state("/b", "3")}}}), "no \"paths\""},  // whatever else it carries
             {PropertyValue(Dict{{"paths", Array{"/a", 7}}}), "\"paths\" holds a value that is not a string"}}) {
        EXPECT_FALSE(parse(userInfo, true, &why));
        EXPECT_EQ(why, reason);
    }
    // (What is taken from the tree, entry by entry, is checked against a definition of its own by the
    // json_notification and bus_notification fuzz targets, whose seeds every test build replays.)
}

class NotificationIntake : public SimulationTest {
protected:
    void SetUp() override { start(); }
    void post(const std::string& name, PropertyValue userInfo) { platform.distributedNotificationCenter().post(name, "com.vantorix.localservice", userInfo); }
};

TEST_F(NotificationIntake, ADirectUpdateIsShownAtOnceThenConfirmedByOneRequest) {
    platform.localService().setStatus("/b", "3");
    // What each confirming request asks for, and the badge it finds already shown.
    std::vector<std::string> shownWhenAsked;
    platform.localService().setHandler([&](const std::string& line) {
        shownWhenAsked.push_back(line.substr(13) + "=" + platform.recordingFileManager().badgeOf(line.substr(13)).value_or("none"));
        return Reply::text(simulation::defaultBatchAnswer(platform.localService(), line.substr(13)) + "\n");
    });
    post("VantorixStatusChanged", Dict{{"paths", Array{"/a"}}, {"sync_state", Array{state("/b", "3")}}});
    EXPECT_TRUE(badgeCalls().empty());  // the handler only parses and hands over
    platform.runUntilIdle();
    EXPECT_EQ(badgeCalls().size(), 1u);  // confirmed: no second call

    // The service says otherwise: the badge is set once more. Paths the line cannot carry are shown, never asked.
    platform.localService().setStatus("/b", "0");
    post("VantorixStatusChanged", Dict{{"paths", Array{}}, {"sync_state", Array{state("/b", "5"), state("/odd|name", "3")}}});
    platform.runUntilIdle();
    EXPECT_THAT(shownWhenAsked, ElementsAre("/b=error", "/b=readonly"));
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/b"), "success");
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/odd|name"), "error");
}

TEST_F(NotificationIntake, NotifiedPathsAreAskedForOnceEachInExchangesOfFifty) {
    post("VantorixSharedStatusChanged", Dict{{"paths", Array{"/a", "/b"}}});
    post("VantorixReadonlyStatusChanged", Dict{{"paths", Array{"/c", "/c"}}, {"sync_state", Array{state("/x", "1")}}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/d"}}, {"sync_state", "not an array"}});
    post("VantorixStatusChanged", Dict{{"paths", Array{"/e"}}, {"sync_state", Array{}}});
    post("VantorixStatusChanged", Dict{{"paths", 42}, {"sync_state", Array{state("/f", "1")}}});
    post("SomethingElse", Dict{{"paths", Array{"/g"}}});
    platform.runUntilIdle();
    EXPECT_THAT(askedPaths(), ElementsAre("/a", "/b", "/c", "/d"));
    EXPECT_EQ(platform.recordingFileManager().badgeOf("/x"), std::nullopt);
    EXPECT_EQ(platform.logEntriesWith("notification ignored").at(0).field("why"), "\"paths\" is not an array");

    platform.localService().clearRequests();
    Array many;
    for (int i = 0; i < 120; ++i) many.push_back("/p" + std::to_string(i));
    post("VantorixSharedStatusChanged", Dict{{"paths", many}});
    platform.runUntilIdle();
    EXPECT_EQ(batchRequests().size(), 3u);
}

}  // namespace
}  // namespace vantorix::testing
