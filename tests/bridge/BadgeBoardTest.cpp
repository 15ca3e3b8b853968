// What a host module knows of the badges: only items inside the observed set keep one, and the module asks for an
// item itself once per observed set, only where the service does not list the item's folder.
#include "BadgeBoard.h"

#include <gtest/gtest.h>

namespace vantorix::bridge {
namespace {

TEST(BadgeBoard, KeepsBadgesInsideTheObservedSetAndRequestsEachItemOncePerSet) {
    BadgeBoard board;
    board.setBadge("/r/a", "sync");
    EXPECT_EQ(board.badgeOf("/r/a"), "") << "outside the observed set";
    board.setObserved({"/r"});
    EXPECT_FALSE(board.isInsideObserved("/rx/a"));  // (the folder itself and all below it: the badges kept below)
    board.setBadge("/r/a", "sync");
    board.setBadge("/r/d/e", "error");
    board.setBadge("/r/b", "shared");
    board.setBadge("/r/b", "");
    EXPECT_EQ(board.badgeOf("/r/a"), "sync");
    EXPECT_EQ(board.badgeOf("/r/b"), "");

    // A request once per item, never for a listed folder, a path a command line cannot carry, or outside the set.
    EXPECT_FALSE(board.takeRequest("/r/a", true));
    EXPECT_TRUE(board.takeRequest("/r/d/e", false));  // (asked twice, once requested: HostBridgeTest)
    EXPECT_FALSE(board.takeRequest("/r/new\nline", false));
    EXPECT_FALSE(board.takeRequest("/elsewhere/x", false));
    EXPECT_EQ(board.takeRequested(), std::vector<std::string>{"/r/d/e"});
    EXPECT_TRUE(board.takeRequest("/r/d/e", false)) << "asked for again once taken back";

    // The end of a folder's observation forgets its entries only; a new set forgets what lies outside it and the
    // requests made.
    board.forgetEntriesOf("/r/d");
    EXPECT_EQ(board.badgeOf("/r/d/e"), "");
    EXPECT_EQ(board.badgeOf("/r/a"), "sync");
    board.setBadge("/r/d/e", "error");
    board.setBadge("/r/d", "sync");
    board.setObserved({"/r/d"});
    EXPECT_EQ(board.badgeOf("/r/a"), "");
    EXPECT_EQ(board.badgeOf("/r/d/e"), "error");
    EXPECT_EQ(board.badgeOf("/r/d"), "sync") << "an observed folder keeps its badge as an entry of the folder outside";
    EXPECT_TRUE(board.takeRequest("/r/d/e", false));
    board.forgetAll();
    EXPECT_EQ(board.badgeOf("/r/d/e"), "");
    EXPECT_TRUE(board.observed().empty());
}

}  // namespace
}  // namespace vantorix::bridge
