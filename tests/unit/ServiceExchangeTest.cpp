// The three exchanges with the local service against scripted answers: outcomes, the reason of each failure,
// deadlines in virtual time, and that every connection is closed again.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

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

TEST_F(ServiceExchange, PingIsTrueOnlyForPongWithinItsDeadlines) {
    struct Case {
        Reply reply;
        bool pong;
        double seconds;
    };
    std::vector<Case> cases{
        {Reply::text("PONG\n"), true, 0.0},  // taken the moment it arrives
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
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        script(cases[i].reply);
        double before = now();
        EXPECT_EQ(peer().pingServer(), cases[i].pong) << i;
        EXPECT_NEAR(now() - before, cases[i].seconds, 1e-9) << i;
    }
    EXPECT_EQ(platform.localService().requestsStartingWith("PING").size(), cases.size());

    // Refused at once; the connection has about 0.1 s to open; a peer that never reads never answers.
    script(Reply::text("PONG\n"), Availability::refusing);
    EXPECT_FALSE(peer().pingServer());
    script(Reply::text("PONG\n"), Availability::slowConnect, 100ms);
    EXPECT_TRUE(peer().pingServer());
    script(Reply::text("PONG\n"), Availability::slowConnect, 150ms);
    double before = now();
    EXPECT_FALSE(peer().pingServer());
    EXPECT_NEAR(now() - before, 0.1, 1e-9);
    script(Reply::text("PONG\n"), Availability::acceptsButNeverReads);
    EXPECT_FALSE(peer().pingServer());
}

TEST_F(ServiceExchange, SyncPathQueryFollowsAPingAndTakesTheTrimmedLine) {
    auto& service = platform.localService();
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
    EXPECT_EQ(service.requests().size(), 16u);
    EXPECT_EQ(service.requests()[1].line, "GET_SYNC_PATH");
    // No PONG, no query.
    service.clearRequests();
    script(Reply::text("NO\n"));
    EXPECT_EQ(peer().getCurrentSyncPath(), std::nullopt);
    EXPECT_EQ(service.requests().size(), 1u);
}

TEST_F(ServiceExchange, BatchRequestChecksTheCountAndNamesTheReasonOfEveryFailure) {
    auto& service = platform.localService();
    auto batch = [&](const std::string& paths, Reply reply) {
        script(std::move(reply));
        return peer().sendBatchStatusRequestSequential(paths);
    };
    EXPECT_EQ(batch("/a/x|/a/y", Reply::text("0|1\n")), "0|1");
    EXPECT_EQ(service.requests().back().line, "BATCH_STATUS:/a/x|/a/y");
    EXPECT_EQ(batch("/a/x|/a/y", Reply::text("0||1\n")), "0||1");  // two separators count two codes
    EXPECT_EQ(batch("", Reply::text("\n")), "");                     // no paths, no codes
    EXPECT_FALSE(peer().waitingMode());

    // A short answer: mismatch, waiting mode, and the paths to the retry queue; the next success ends it.
    EXPECT_EQ(batch("/a/x|/a/y", Reply::text("0\n")), std::nullopt);
    EXPECT_EQ(lastReason(), "batch_response_mismatch");
    EXPECT_TRUE(peer().waitingMode());
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a/x", "/a/y"}));
    EXPECT_EQ(batch("/a/z", Reply::text("3\n")), "3");
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_TRUE(peer().serverAvailable());

    // Only the first piece is read; an answer beyond 8192 bytes is cut before counting; bytes that are not UTF-8.
    EXPECT_EQ(batch("/a|/b", Reply::inPieces({{0ms, "0|"}, {10ms, "1\n"}})), std::nullopt);
    std::vector<std::string> many(4097, "/p");
    std::string codes = "0";
    for (int i = 1; i < 4097; ++i) codes += "|0";
    EXPECT_EQ(batch(joinPaths(many), Reply::text(codes + "\n")), std::nullopt);
    EXPECT_EQ(lastReason(), "batch_response_mismatch");
    EXPECT_EQ(batch("/a", Reply::text("0\n\xFF")), std::nullopt);
    EXPECT_EQ(lastReason(), "read_timeout");

    // Deadlines: 3 s for the answer; none once the peer closed; nothing listening fails the write; a peer that
    // never reads cannot hold the exchange beyond the 3 s write limit.
    double before = now();
    EXPECT_EQ(batch("/a", Reply::silence()), std::nullopt);
    EXPECT_NEAR(now() - before, 3.0, 1e-9);
    before = now();
    EXPECT_EQ(batch("/a", Reply::closeWithoutAnswer()), std::nullopt);
    EXPECT_NEAR(now() - before, 0.0, 1e-9);
    script(Reply::text("0\n"), Availability::refusing);
    EXPECT_EQ(peer().sendBatchStatusRequestSequential("/a"), std::nullopt);
    EXPECT_EQ(lastReason(), "write_failed");
    EXPECT_EQ(platform.logEntriesWith("batch status exchange failed").back().field("cause"),
              "the request could not be written in time: Connection refused (errno 111)");
    script(Reply::text("0\n"), Availability::acceptsButNeverReads);
    before = now();
    EXPECT_EQ(peer().sendBatchStatusRequestSequential(joinPaths(std::vector<std::string>(2000, "/Users/someone/Vantorix/a/rather/long/name"))),
              std::nullopt);
    EXPECT_NEAR(now() - before, 3.0, 1e-9);

    // A second caller while the exchange is held waits 5 s, then gives up without a connection.
    int opened = service.connectionsOpened();
    ASSERT_TRUE(peer().exchangeSemaphore().wait(platform.monotonicNow()));
    before = now();
    EXPECT_EQ(peer().sendBatchStatusRequestSequential("/held"), std::nullopt);
    EXPECT_NEAR(now() - before, 5.0, 1e-9);
    EXPECT_EQ(lastReason(), "semaphore_timeout");
    EXPECT_EQ(service.connectionsOpened(), opened);
    EXPECT_EQ(peer().retryQueue().back(), "/held");
    peer().exchangeSemaphore().signal();
    EXPECT_EQ(batch("/a", Reply::text("0\n")), "0");  // the semaphore is whole again
}

// Another user listening on the port while the service is down is sent nothing, not even PING: the exchange
// fails as a connection would, and the stranger is logged once. Root, or this user, is trusted.
TEST_F(ServiceExchange, AStrangerOnThePortIsSentNothing) {
    auto& service = platform.localService();
    service.setOwner(4242);
    EXPECT_FALSE(peer().pingServer());
    EXPECT_EQ(peer().getCurrentSyncPath(), std::nullopt);
    EXPECT_EQ(peer().sendBatchStatusRequestSequential("/a|/b"), std::nullopt);
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ(lastReason(), "write_failed");
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a", "/b"}));
    auto reports = platform.logEntriesWith("another user listens");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].field("peer_uid"), "4242");
    service.setOwner(0);
    EXPECT_TRUE(peer().pingServer());
    service.setOwner(simulation::ScriptedLocalService::kUser);
    EXPECT_TRUE(peer().pingServer());
}

}  // namespace
}  // namespace vantorix::testing
