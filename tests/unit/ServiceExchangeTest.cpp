// The three exchanges with the local service against scripted answers: outcomes, the reason of each failure,
// deadlines in virtual time, and that every connection is closed again. Then the extension's vocabulary: the badge
// catalogue and its registration, status codes to badge words, and the text rules of the wire and of file URLs.
#include "GeneratedAssetSymbols.h"
#include "SimulationFixture.h"
#include "protocol/Utf8.h"

namespace vantorix::testing {
namespace {

using namespace std::string_literals;

class ServiceExchange : public SimulationTest {
protected:
    // The object without its background start: the exchanges are called directly.
    void SetUp() override { extension = VantorixFinderSyncTestPeer::makeUnstarted(platform); }
    void TearDown() override { EXPECT_EQ(platform.localService().connectionsOpenNow(), 0) << "a connection was left open"; }

    void script(Reply reply, Availability availability = Availability::up, Duration connectDelay = Duration(0)) {
        platform.localService().scriptNext({availability, connectDelay, std::move(reply)});
    }
    // The reason of the last failed batch exchange.
    std::string lastReason() {
        auto failures = platform.logEntriesWith("batch status exchange failed");
        return failures.empty() ? "" : failures.back().field("reason");
    }
};

TEST_F(ServiceExchange, PingIsTrueOnlyForPongWithinItsDeadlinesAndAStrangerOnThePortIsSentNothing) {
    struct Case { Reply reply; bool pong; double seconds; Availability availability = Availability::up; Duration connectDelay{}; };
    const Reply pong = Reply::text("PONG\n");
    std::vector<Case> cases{
        {pong, true, 0.0},  // taken the moment it arrives
        {Reply::text(" PONG\r\n", 300ms), true, 0.3},
        {Reply::text("PONG"), true, 0.0},  // the line feed is optional
        {Reply::text("PONG" + std::string(100, ' ') + "garbage"), true, 0.0},  // cut to 64 bytes
        {Reply::text("pong\n"), false, 0.0},
        {Reply::text("PONG extra\n"), false, 0.0},
        {Reply::text("PONG\n\xFF"), false, 0.0},  // not UTF-8
        {Reply::inPieces({{0ms, "PO"}, {50ms, "NG\n"}}), false, 0.0},  // one read only
        {Reply::text(std::string(64, ' ') + "PONG"), false, 0.0},
        {Reply::silence(), false, 1.5},
        {Reply::text("PONG\n", 1501ms), false, 1.5},
        {Reply::closeWithoutAnswer(200ms), false, 0.2},  // the peer closed: no answer can come any more
        {pong, false, 0.0, Availability::refusing},
        {pong, true, 0.1, Availability::slowConnect, 100ms},  // the connection has 0.1 s to open
        {pong, false, 0.1, Availability::slowConnect, 150ms},
        {pong, false, 1.5, Availability::acceptsButNeverReads},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        script(cases[i].reply, cases[i].availability, cases[i].connectDelay);
        Duration before = now();
        EXPECT_EQ(peer().pingServer(), cases[i].pong) << i;
        EXPECT_NEAR(toSeconds(now() - before), cases[i].seconds, 1e-9) << i;
    }
    EXPECT_EQ(platform.localService().requestsStartingWith("PING").size(), 13u);  // all but the three never read

    // Another user listening on the port while the service is down is sent nothing, not even PING: the exchange
    // fails as a connection would, and the stranger is logged once. Root, or this user, is trusted.
    std::size_t received = platform.localService().requests().size();
    platform.localService().setOwner(4242);
    EXPECT_FALSE(peer().pingServer());
    EXPECT_EQ(peer().sendBatchStatusRequestSequential("/a|/b"), std::nullopt);
    EXPECT_EQ(platform.localService().requests().size(), received);
    EXPECT_EQ(lastReason(), "write_failed");
    EXPECT_EQ(platform.logEntriesWith("another user listens").size(), 1u);
    EXPECT_EQ(platform.logEntriesWith("another user listens").at(0).field("peer_uid"), "4242");
    platform.localService().setOwner(0);
    EXPECT_TRUE(peer().pingServer());
}

TEST_F(ServiceExchange, SyncPathQueryFollowsAPingAndTakesTheTrimmedLine) {
    auto query = [&](Reply reply) {
        script(Reply::text("PONG\n"));
        script(std::move(reply));
        return peer().getCurrentSyncPath();
    };
    EXPECT_EQ(query(Reply::text("/Users/someone/Sync\n")), "/Users/someone/Sync");
    EXPECT_EQ(query(Reply::text("   ERROR: not logged in\n")), std::nullopt);
    EXPECT_EQ(query(Reply::text("error: x\n")), "error: x");
    EXPECT_EQ(query(Reply::text("\n")), "");
    EXPECT_EQ(query(Reply::inPieces({{0ms, "/Users/a"}, {10ms, "/b\n"}})), "/Users/a");
    EXPECT_EQ(query(Reply::text("/" + std::string(1099, 'a'))), "/" + std::string(1023, 'a'));  // cut to 1024 bytes
    EXPECT_EQ(query(Reply::text("/" + std::string(1022, 'a') + "\xC3\xA9")), std::nullopt);    // cut inside a character
    EXPECT_EQ(query(Reply::silence()), std::nullopt);
    script(Reply::text("NO\n"));  // no PONG, no query
    EXPECT_EQ(peer().getCurrentSyncPath(), std::nullopt);
    EXPECT_EQ(platform.localService().requestsStartingWith("GET_SYNC_PATH").size(), 8u);
}

TEST_F(ServiceExchange, BatchRequestChecksTheCountAndNamesTheReasonOfEveryFailure) {
    // Two separators count two codes; no paths, no codes.
    for (const auto& [paths, answer] : std::vector<std::pair<std::string, std::string>>{{"/a/x|/a/y", "0|1"}, {"/a/x|/a/y", "0||1"}, {"", ""}}) {
        script(Reply::text(answer + "\n"));
        EXPECT_EQ(peer().sendBatchStatusRequestSequential(paths), answer);
    }

    // Each failure in turn, so that each also shows that the one before gave the exchange's turn back.
    struct Case { std::string paths; Reply reply; Availability availability; double seconds; std::string reason; };
    std::vector<Case> cases{
        {"/a/x|/a/y", Reply::text("0\n"), Availability::up, 0.0, "batch_response_mismatch"},  // a short answer
        // An answer beyond 8192 bytes is cut before counting.
        {joinPaths(std::vector<std::string>(4097, "/p")), Reply::text(joinPaths(std::vector<std::string>(4097, "0")) + "\n"), Availability::up, 0.0,
         "batch_response_mismatch"},
        {"/a", Reply::text("0\n\xFF"), Availability::up, 0.0, "read_timeout"},  // not UTF-8
        {"/a", Reply::silence(), Availability::up, 3.0, "read_timeout"},  // 3 s for the answer
        {"/a", Reply::closeWithoutAnswer(), Availability::up, 0.0, "read_timeout"},  // none once the peer closed
        {joinPaths(std::vector<std::string>(2000, "/Users/someone/Vantorix/a/rather/long/name")), Reply::text("0\n"), Availability::acceptsButNeverReads, 3.0,
         "write_failed"},  // a peer that never reads meets the 3 s write limit
        {"/a", Reply::text("0\n"), Availability::refusing, 0.0, "write_failed"},  // nothing listening: last, for its cause
    };
    for (const auto& c : cases) {
        script(c.reply, c.availability);
        Duration before = now();
        EXPECT_EQ(peer().sendBatchStatusRequestSequential(c.paths), std::nullopt) << c.reason;
        EXPECT_NEAR(toSeconds(now() - before), c.seconds, 1e-9) << c.reason;
        EXPECT_EQ(lastReason(), c.reason);
    }
    EXPECT_EQ(platform.logEntriesWith("batch status exchange failed").back().field("cause"),
              "the request could not be written in time: Connection refused (errno 111)");

    // A second caller while the exchange is held waits 5 s, then gives up without a connection.
    int opened = platform.localService().connectionsOpened();
    ASSERT_TRUE(peer().exchangeSemaphore().wait(platform.monotonicNow()));
    Duration before = now();
    EXPECT_EQ(peer().sendBatchStatusRequestSequential("/held"), std::nullopt);
    EXPECT_NEAR(toSeconds(now() - before), 5.0, 1e-9);
    EXPECT_EQ(lastReason(), "semaphore_timeout");
    EXPECT_EQ(platform.localService().connectionsOpened(), opened);
}

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
