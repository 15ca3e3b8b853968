// The extension's vocabulary: the badge catalogue and its registration, status codes to badge words, and the text
// rules of the wire and of file URLs.
#include "GeneratedAssetSymbols.h"
#include "SimulationFixture.h"
#include "protocol/Utf8.h"

#include <gmock/gmock.h>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;

TEST(Vocabulary, StatusCodesMapToBadgeWordsAndEverythingElseShowsAsSyncing) {
    const std::vector<std::pair<std::string, std::string>> table{{"0", "success"}, {"1", "sync"},     {"2", "sync"},    {"3", "error"},
                                                                 {"4", "exclude"}, {"5", "readonly"}, {"6", "company"}, {"7", "shared"}};
    for (const auto& [code, badge] : table) EXPECT_EQ(mapStatusToBadge(code), badge) << code;
    for (const std::string& other : std::vector<std::string>{"8", "", " 0", "00", "-1", std::string("3\0", 2)}) EXPECT_EQ(mapStatusToBadge(other), "sync") << other;
    EXPECT_EQ(imageNameForIconFile("a_test.png_test.png"), "oi_a");  // every occurrence goes
    EXPECT_EQ(imageNameForIconFile("shared_TEST.png"), "oi_shared_TEST.png");  // case-sensitive
}

class BadgeRegistration : public SimulationTest {
protected:
    std::vector<std::string> registrations() {
        std::vector<std::string> seen;
        for (const auto& call : platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeImage)) {
            seen.push_back(call.identifier + " " + call.label + " " + call.image.name);
        }
        return seen;
    }
};

TEST_F(BadgeRegistration, TheSevenBadgesAreRegisteredInOrderAndAMissingImageOnlyDropsItsOwn) {
    extension = VantorixFinderSync::create(platform);  // nothing has run on the agenda yet
    EXPECT_THAT(registrations(), ElementsAre("success Synced oi_success", "sync Syncing oi_sync", "error Error oi_error", "exclude Excluded oi_exclude",
                                             "readonly Read-only oi_readonly", "shared Shared oi_shared", "company Company oi_company"));
    extension.reset();
    platform.discardPendingWork();
    platform.recordingFileManager().clear();
    platform.removeImage("oi_shared");
    extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    auto seen = registrations();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[5], "company Company oi_company");
    EXPECT_FALSE(peer().loadIconFromFile("shared_test.png"));
    for (const auto* resource : {&assets::oiSuccess, &assets::oiCompany}) EXPECT_TRUE(assets::image(platform, *resource)) << resource->name;
}

TEST(Vocabulary, TheWireCountsPiecesAndCarriesOnlyPlainUtf8Paths) {
    EXPECT_EQ(countPieces(""), 0u);
    EXPECT_EQ(countPieces("|0||1|"), 2u);
    EXPECT_THAT(splitOnSeparator("|0||3|"), ElementsAre("0", "3"));
    EXPECT_EQ(joinPaths({"/a", "/b"}), "/a|/b");
    EXPECT_THAT(pairAnswer({"/a", "/b", "/c"}, "0||3"), ElementsAre(BatchResult{"/a", "0"}, BatchResult{"/b", "3"}));
    EXPECT_EQ(cutIntoBatches(std::vector<std::string>(130, "/p")).back().size(), 30u);
    EXPECT_EQ(parseRequestLine("BATCH_STATUS:/a|/b").paths, "/a|/b");
    EXPECT_EQ(parseRequestLine("PING ").kind, RequestKind::unknown);
    EXPECT_TRUE(canCarryPath("/Users/me/C# notes?.txt"));
    for (std::string path : {std::string(""), std::string("/a|b"), std::string("/a\nb"), std::string("/a\rb"), std::string("/a\0b", 4), std::string("/caf\xE9")}) {
        EXPECT_FALSE(canCarryPath(path)) << path;
    }
    EXPECT_TRUE(isValidUtf8("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80"));
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) EXPECT_FALSE(isValidUtf8(bad)) << bad;
    EXPECT_EQ(trimWhitespaceAndNewlines("\t\v\f\xC2\xA0\xE3\x80\x80" "a b\xE2\x80\xA8\r\n"), "a b");  // NBSP, ideographic space, line separator
    EXPECT_EQ(replacingInvalidUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(Vocabulary, FileURLsNameExactlyTheirPathWhileParsedTextMayNot) {
    for (std::string path : {"/Users/me/C# notes.txt", "/a/what?.txt", "/a/%41", "/caf\xC3\xA9", "/odd\xFF", "/"}) {
        URL url = URL::fileURL(path);
        EXPECT_EQ(url.path(), path);
        EXPECT_EQ(URL::fromString(url.absoluteString())->path(), path) << url.absoluteString();
    }
    EXPECT_EQ(URL::fileURL("/Users/me/C# notes.txt").absoluteString(), "file:///Users/me/C%23%20notes.txt");
    EXPECT_EQ(URL::fileURL("/dir/").path(), "/dir");
    // What parsing "file://" + a raw path does: the reason file URLs are built from paths instead.
    EXPECT_EQ(URL::fromString("file:///Users/me/C# notes.txt"), std::nullopt);  // the space
    EXPECT_EQ(URL::fromString("file:///Users/me/C#notes.txt")->path(), "/Users/me/C");
    EXPECT_EQ(URL::fromString("file:///a/b?c")->path(), "/a/b");
    EXPECT_FALSE(URL::fromString("file:///a/%4"));
    EXPECT_FALSE(URL::fromString("file:///a|b"));
    EXPECT_TRUE(URL::fromString("file:///a/")->isFileURL());
}

}  // namespace
}  // namespace vantorix::testing
