// The badge vocabulary: registration order, labels, images, and the mapping of status codes.
#include "SimulationFixture.h"

#include "GeneratedAssetSymbols.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

TEST(BadgeMapping, MapsTheEightCodesAndShowsEverythingElseAsSyncing) {
    const std::vector<std::pair<std::string, std::string>> table{{"0", "success"}, {"1", "sync"},     {"2", "sync"},    {"3", "error"},
                                                                 {"4", "exclude"}, {"5", "readonly"}, {"6", "company"}, {"7", "shared"}};
    for (const auto& [code, badge] : table) EXPECT_EQ(mapStatusToBadge(code), badge) << code;
    // Compared whole and untrimmed: nothing else is a known code.
    for (const std::string& other : std::vector<std::string>{"8", "", " 0", "0 ", "00", "07", "-1", "a", "\n3", std::string("3\0", 2)}) {
        EXPECT_EQ(mapStatusToBadge(other), "sync") << '"' << other << '"';
    }
}

TEST(BadgeMapping, DerivesImageNamesFromIconFileNames) {
    EXPECT_EQ(imageNameForIconFile("success_test.png"), "oi_success");
    EXPECT_EQ(imageNameForIconFile("a_test.png_test.png"), "oi_a");  // every occurrence goes
    EXPECT_EQ(imageNameForIconFile("shared_TEST.png"), "oi_shared_TEST.png");  // case-sensitive
    EXPECT_EQ(imageNameForIconFile(""), "oi_");
}

class BadgeRegistration : public SimulationTest {
protected:
    std::vector<std::tuple<std::string, std::string, std::string>> registrations() {
        std::vector<std::tuple<std::string, std::string, std::string>> seen;
        for (const auto& call : platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage)) {
            seen.emplace_back(call.identifier, call.label, call.image.name);
        }
        return seen;
    }
};

TEST_F(BadgeRegistration, RegistersTheSevenBadgesInOrderBeforeCreateReturns) {
    extension = VantorixFinderSync::create(platform);  // nothing has run on the agenda yet
    using T = std::tuple<std::string, std::string, std::string>;
    EXPECT_THAT(registrations(), ::testing::ElementsAre(T{"success", "Synced", "oi_success"}, T{"sync", "Syncing", "oi_sync"},
                                                        T{"error", "Error", "oi_error"}, T{"exclude", "Excluded", "oi_exclude"},
                                                        T{"readonly", "Read-only", "oi_readonly"}, T{"shared", "Shared", "oi_shared"},
                                                        T{"company", "Company", "oi_company"}));
    // Registering again repeats the same seven.
    auto first = registrations();
    peer().setupBadgeIdentifiers();
    auto all = registrations();
    ASSERT_EQ(all.size(), 14u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), all.begin() + 7));
}

TEST_F(BadgeRegistration, AMissingImageLeavesOnlyItsBadgeUnregistered) {
    platform.removeImage("oi_shared");
    extension = VantorixFinderSync::create(platform);
    auto seen = registrations();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(std::get<0>(seen[4]), "readonly");
    EXPECT_EQ(std::get<0>(seen[5]), "company");
    EXPECT_FALSE(peer().loadIconFromFile("shared_test.png"));
    EXPECT_EQ(peer().loadIconFromFile("company_test.png")->name, "oi_company");
}

TEST(GeneratedAssetSymbols, NameEveryBadgeImage) {
    SimulatedPlatform platform;
    for (const auto* resource : {&assets::oiSuccess, &assets::oiSync, &assets::oiError, &assets::oiExclude, &assets::oiReadonly,
                                 &assets::oiShared, &assets::oiCompany}) {
        EXPECT_EQ(resource->bundle, assets::resourceBundle);
        EXPECT_TRUE(assets::image(platform, *resource)) << resource->name;
    }
    EXPECT_EQ(assets::oiReadonly.name, "oi_readonly");
}

}  // namespace
}  // namespace vantorix::testing
