// The text rules of the protocol and the URL value.
#include "platform/URL.h"
#include "pipeline/Batches.h"
#include "protocol/Wire.h"
#include "protocol/Utf8.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantorix {
namespace {

using ::testing::ElementsAre;

TEST(Utf8, ValidatesAndTrimsTheUnicodeWhitespaceSet) {
    EXPECT_TRUE(isValidUtf8("PONG"));
    EXPECT_TRUE(isValidUtf8("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8("\xC3"));              // cut in the middle of a character
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xFF"));

    EXPECT_EQ(trimWhitespaceAndNewlines(" PONG\r\n"), "PONG");
    EXPECT_EQ(trimWhitespaceAndNewlines("\t\v\f\xC2\xA0\xE3\x80\x80" "a b\xE2\x80\xA8"), "a b");  // NBSP, ideographic space, line separator
    EXPECT_EQ(trimWhitespaceAndNewlines("\n"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("0|1\n"), "0|1");

    EXPECT_EQ(replacingInvalidUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(BatchFormat, CountsPiecesAndCutsBatches) {
    EXPECT_EQ(countPieces(""), 0u);
    EXPECT_EQ(countPieces("|"), 0u);
    EXPECT_EQ(countPieces("/a/x|/a/y"), 2u);
    EXPECT_EQ(countPieces("0||1"), 2u);
    EXPECT_EQ(countPieces("|0|1|"), 2u);
    EXPECT_THAT(splitOnSeparator("|0||3|"), ElementsAre("0", "3"));
    EXPECT_EQ(joinPaths({"/a", "/b"}), "/a|/b");
    EXPECT_EQ(joinPaths({}), "");

    std::vector<std::string> paths;
    for (int i = 0; i < 130; ++i) paths.push_back("/p" + std::to_string(i));
    auto batches = cutIntoBatches(paths);
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(batches[0].size(), 50u);
    EXPECT_EQ(batches[2].size(), 30u);
    EXPECT_EQ(batches[1].front(), "/p50");
    EXPECT_TRUE(cutIntoBatches({}).empty());
}

TEST(BatchFormat, RefusesPathsTheRequestLineCannotCarry) {
    EXPECT_TRUE(canCarryPath("/Users/me/C# notes?.txt"));
    EXPECT_FALSE(canCarryPath(""));
    EXPECT_FALSE(canCarryPath("/a|b"));
    EXPECT_FALSE(canCarryPath("/a\nb"));
    EXPECT_FALSE(canCarryPath("/a\rb"));
    EXPECT_FALSE(canCarryPath(std::string("/a\0b", 4)));
    EXPECT_FALSE(canCarryPath("/caf\xE9"));
}

TEST(URL, FileURLsNameExactlyTheirPath) {
    for (std::string path : {"/Users/me/C# notes.txt", "/a/what?.txt", "/a/%41", "/a/with space", "/caf\xC3\xA9", "/odd\xFF", "/"}) {
        URL url = URL::fileURL(path);
        EXPECT_EQ(url.path(), path);
        auto reparsed = URL::fromString(url.absoluteString());
        ASSERT_TRUE(reparsed) << url.absoluteString();
        EXPECT_EQ(reparsed->path(), path);
    }
    EXPECT_EQ(URL::fileURL("/Users/me/C# notes.txt").absoluteString(), "file:///Users/me/C%23%20notes.txt");
    EXPECT_EQ(URL::fileURL("/dir/").path(), "/dir");
}

TEST(URL, ParsingReadsFragmentsAndQueriesAndRejectsInvalidText) {
    // What parsing "file://" + a raw path does: the reason file URLs are built from paths instead.
    EXPECT_EQ(URL::fromString("file:///Users/me/C# notes.txt"), std::nullopt);  // the space
    EXPECT_EQ(URL::fromString("file:///Users/me/C#notes.txt")->path(), "/Users/me/C");
    EXPECT_EQ(URL::fromString("file:///a/b?c")->path(), "/a/b");
    EXPECT_EQ(URL::fromString("file:///a/%41")->path(), "/a/A");
    EXPECT_FALSE(URL::fromString("file:///a/%4"));
    EXPECT_FALSE(URL::fromString("file:///a|b"));
    EXPECT_FALSE(URL::fromString(""));
    EXPECT_TRUE(URL::fromString("file:///a/")->isFileURL());
    EXPECT_EQ(URL::fromString("file:///a/")->path(), "/a");
}

}  // namespace
}  // namespace vantorix
