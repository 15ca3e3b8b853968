// The extension's vocabulary: the badge catalogue and its registration, status codes to badge words, and the text
// rules of the wire and of file URLs.
#include "GeneratedAssetSymbols.h"
#include "SimulationFixture.h"
#include "protocol/Utf8.h"

namespace vantorix::testing {
namespace {

using namespace std::string_literals;
using BadgeRegistration = SimulationTest;

TEST_F(BadgeRegistration, TheSevenBadgesAreRegisteredInOrderAMissingImageOnlyDropsItsOwnAndCodesMapToTheirWords) {
    auto registrations = [&] {  // every call so far is a registration
        std::vector<std::string> seen;
        for (const auto& c : platform.recordingFileManager().calls()) seen.push_back(c.identifier + " " + c.label + " " + c.image.name);
        return seen;
    };
    std::vector<std::string> all{"success Synced oi_success", "sync Syncing oi_sync", "error Error oi_error", "exclude Excluded oi_exclude",
                                 "readonly Read-only oi_readonly", "shared Shared oi_shared", "company Company oi_company"};
    extension = VantorixFinderSync::create(platform);  // nothing has run on the agenda yet
    EXPECT_EQ(registrations(), all);
    platform.recordingFileManager().clear();
    platform.removeImage("oi_shared");
    peer().setupBadgeIdentifiers();
    all.erase(all.begin() + 5);
    EXPECT_EQ(registrations(), all);
    for (const auto* resource : {&assets::oiSuccess, &assets::oiCompany}) EXPECT_TRUE(assets::image(platform, *resource)) << resource->name;
    EXPECT_EQ(imageNameForIconFile("a_test.png_test.png"), "oi_a");  // every occurrence goes

    // Status codes to badge words; everything else shows as syncing.
    const std::vector<std::string> words{"success", "sync", "sync", "error", "exclude", "readonly", "company", "shared"};
    for (std::size_t code = 0; code < words.size(); ++code) EXPECT_EQ(mapStatusToBadge(std::to_string(code)), words[code]) << code;
    for (const std::string& other : {"8"s, ""s, " 0"s, "00"s, "-1"s, "3\0"s}) EXPECT_EQ(mapStatusToBadge(other), "sync") << other;
}

TEST(Vocabulary, TheWireCarriesOnlyPlainUtf8PathsAndFileURLsNameExactlyTheirPath) {
    // (Which paths a line carries, the UTF-8 table, trimming, the way from a path to its file URL and back, and the
    // pairing of an answer's codes with the paths, empty pieces not counting, are checked against definitions of
    // their own by the url_utf8 and batch_answer fuzz targets, whose seeds every test build replays.)
    EXPECT_EQ(parseRequestLine("PING ").kind, RequestKind::unknown);
    EXPECT_EQ(replacingInvalidUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    // What parsing "file://" + a raw path does: the reason file URLs are built from paths instead.
    for (const char* refused : {"file:///Users/me/C# notes.txt", "file:///a/%4", "file:///a|b"}) EXPECT_FALSE(URL::fromString(refused)) << refused;
    EXPECT_EQ(URL::fromString("file:///Users/me/C#notes.txt")->path(), "/Users/me/C");
    EXPECT_EQ(URL::fromString("file:///a/b?c")->path(), "/a/b");
}

}  // namespace
}  // namespace vantorix::testing
