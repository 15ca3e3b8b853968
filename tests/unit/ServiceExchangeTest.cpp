// The three exchanges with the local service against scripted answers: outcomes, deadlines in virtual time,
// and that every connection is closed again.
#include "SimulationFixture.h"

namespace vantorix::testing {
namespace {

class ServiceExchange : public SimulationTest {
protected:
    void SetUp() override {
        // The object without its background start: the exchanges are called directly.
        extension = VantorixFinderSyncTestPeer::makeUnstarted(platform);
    }

    // Scripts the next connection's answer and runs a PING, measuring its virtual duration.
    bool pingAnswered(Reply reply, double* seconds = nullptr) {
        platform.localService().scriptNext({Availability::up, Duration(0), std::move(reply)});
        double before = now();
        bool result = peer().pingServer();
        if (seconds != nullptr) *seconds = now() - before;
        EXPECT_EQ(platform.localService().connectionsOpenNow(), 0) << "a connection was left open";
        return result;
    }

    std::optional<std::string> batchAnswered(const std::string& paths, Reply reply) {
        platform.localService().scriptNext({Availability::up, Duration(0), std::move(reply)});
        auto result = peer().sendBatchStatusRequestSequential(paths);
        EXPECT_EQ(platform.localService().connectionsOpenNow(), 0) << "a connection was left open";
        return result;
    }
};

TEST_F(ServiceExchange, PingIsTrueOnlyForPong) {
    double seconds = -1;
    EXPECT_TRUE(pingAnswered(Reply::text("PONG\n"), &seconds));
    EXPECT_EQ(seconds, 0.0);  // taken the moment it arrives
    EXPECT_TRUE(pingAnswered(Reply::text(" PONG\r\n", 300ms), &seconds));
    EXPECT_NEAR(seconds, 0.3, 1e-9);
    EXPECT_TRUE(pingAnswered(Reply::text("PONG")));  // the line feed is optional
    EXPECT_FALSE(pingAnswered(Reply::text("pong\n")));
    EXPECT_FALSE(pingAnswered(Reply::text("PONG extra\n")));
    EXPECT_FALSE(pingAnswered(Reply::text("PONGPONG\n")));
    EXPECT_FALSE(pingAnswered(Reply::text("PONG\n\xFF")));  // not UTF-8
    EXPECT_FALSE(pingAnswered(Reply::inPieces({{0ms, "PO"}, {50ms, "NG\n"}})));  // one read only
    // Cut to 64 bytes: PONG padded with spaces past the limit is still PONG; the word beyond it is lost.
    EXPECT_TRUE(pingAnswered(Reply::text("PONG" + std::string(100, ' ') + "garbage")));
    EXPECT_FALSE(pingAnswered(Reply::text(std::string(64, ' ') + "PONG")));
    EXPECT_FALSE(pingAnswered(Reply::text(std::string(10 * 1024 * 1024, 'x'))));
    EXPECT_EQ(platform.localService().requestsStartingWith("PING").size(), 11u);
    EXPECT_EQ(platform.localService().requests().back().line, "PING");
}

TEST_F(ServiceExchange, PingFailsWithinItsDeadlines) {
    double seconds = -1;
    EXPECT_FALSE(pingAnswered(Reply::silence(), &seconds));
    EXPECT_NEAR(seconds, 1.5, 1e-9);
    EXPECT_FALSE(pingAnswered(Reply::text("PONG\n", 1501ms), &seconds));
    EXPECT_NEAR(seconds, 1.5, 1e-9);
    EXPECT_FALSE(pingAnswered(Reply::closeWithoutAnswer(200ms), &seconds));
    EXPECT_NEAR(seconds, 0.2, 1e-9);  // the peer closed: no answer can come any more

    platform.localService().scriptNext({Availability::refusing, Duration(0), std::nullopt});
    double before = now();
    EXPECT_FALSE(peer().pingServer());
    EXPECT_LE(now() - before, 0.1);

    // The connection has about 0.1 s to open.
    platform.localService().scriptNext({Availability::slowConnect, 100ms, std::nullopt});
    EXPECT_TRUE(peer().pingServer());
    platform.localService().scriptNext({Availability::slowConnect, 150ms, std::nullopt});
    before = now();
    EXPECT_FALSE(peer().pingServer());
    EXPECT_NEAR(now() - before, 0.1, 1e-9);

    // A peer that takes the connection but never reads: PING's five bytes fit its buffer; the answer never comes.
    platform.localService().scriptNext({Availability::acceptsButNeverReads, Duration(0), std::nullopt});
    EXPECT_FALSE(peer().pingServer());
    EXPECT_EQ(platform.localService().connectionsOpenNow(), 0);
}

TEST_F(ServiceExchange, SyncPathQueryFollowsAPingAndTakesTheTrimmedLine) {
    auto& service = platform.localService();
    auto query = [&](Reply reply) {
        service.scriptNext({Availability::up, Duration(0), Reply::text("PONG\n")});
        service.scriptNext({Availability::up, Duration(0), std::move(reply)});
        return peer().getCurrentSyncPath();
    };
    EXPECT_EQ(query(Reply::text("/Users/someone/Sync\n")), "/Users/someone/Sync");
    EXPECT_EQ(query(Reply::text("ERROR: not logged in\n")), std::nullopt);
    EXPECT_EQ(query(Reply::text("   ERROR: x\n")), std::nullopt);
    EXPECT_EQ(query(Reply::text("error: x\n")), "error: x");
    EXPECT_EQ(query(Reply::text("\n")), "");
    EXPECT_EQ(query(Reply::inPieces({{0ms, "/Users/a"}, {10ms, "/b\n"}})), "/Users/a");
    EXPECT_EQ(query(Reply::text("/" + std::string(1099, 'a'))), "/" + std::string(1023, 'a'));  // cut to 1024 bytes
    EXPECT_EQ(query(Reply::text("/" + std::string(1022, 'a') + "\xC3\xA9")), std::nullopt);    // cut inside a character
    EXPECT_EQ(query(Reply::text("/Users/caf\xE9\n")), std::nullopt);                          // not UTF-8
    EXPECT_EQ(query(Reply::silence()), std::nullopt);
    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 20u);
    EXPECT_EQ(requests[0].line, "PING");
    EXPECT_EQ(requests[1].line, "GET_SYNC_PATH");

    // No PONG, no query.
    service.clearRequests();
    service.scriptNext({Availability::up, Duration(0), Reply::text("NO\n")});
    EXPECT_EQ(peer().getCurrentSyncPath(), std::nullopt);
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(service.requests()[0].line, "PING");
}

TEST_F(ServiceExchange, BatchRequestChecksTheCountAndReportsEveryOutcome) {
    auto& service = platform.localService();
    EXPECT_EQ(batchAnswered("/a/x|/a/y", Reply::text("0|1\n")), "0|1");
    EXPECT_EQ(service.requests().back().line, "BATCH_STATUS:/a/x|/a/y");
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_TRUE(peer().retryQueue().empty());

    EXPECT_EQ(batchAnswered("/a/x|/a/y", Reply::text("0||1\n")), "0||1");  // two separators count two codes
    EXPECT_EQ(batchAnswered("", Reply::text("\n")), "");                   // no paths, no codes
    EXPECT_EQ(service.requests().back().line, "BATCH_STATUS:");

    // A short answer: mismatch, waiting mode, and the paths to the retry queue.
    EXPECT_EQ(batchAnswered("/a/x|/a/y", Reply::text("0\n")), std::nullopt);
    EXPECT_TRUE(peer().waitingMode());
    EXPECT_EQ(peer().retryQueue(), (std::vector<std::string>{"/a/x", "/a/y"}));

    // The next success ends waiting mode.
    EXPECT_EQ(batchAnswered("/a/z", Reply::text("3\n")), "3");
    EXPECT_FALSE(peer().waitingMode());
    EXPECT_TRUE(peer().serverAvailable());

    // Pieces: only the first is read.
    EXPECT_EQ(batchAnswered("/a|/b", Reply::inPieces({{0ms, "0|"}, {10ms, "1\n"}})), std::nullopt);
    // An answer beyond 8192 bytes is cut before counting: 4097 codes do not fit.
    std::vector<std::string> many;
    std::string codes;
    for (int i = 0; i < 4097; ++i) {
        many.push_back("/p" + std::to_string(i));
        codes += (i ? "|0" : "0");
    }
    EXPECT_EQ(batchAnswered(joinPaths(many), Reply::text(codes + "\n")), std::nullopt);
    EXPECT_EQ(batchAnswered("/a", Reply::text("0\n\xFF")), std::nullopt);
    EXPECT_EQ(service.connectionsOpenNow(), 0);
}

TEST_F(ServiceExchange, BatchRequestFailsWithinItsDeadlines) {
    auto& service = platform.localService();
    double before = now();
    EXPECT_EQ(batchAnswered("/a", Reply::silence()), std::nullopt);
    EXPECT_NEAR(now() - before, 3.0, 1e-9);
    before = now();
    EXPECT_EQ(batchAnswered("/a", Reply::closeWithoutAnswer()), std::nullopt);
    EXPECT_NEAR(now() - before, 0.0, 1e-9);

    // Nothing listens: the write fails.
    service.scriptNext({Availability::refusing, Duration(0), std::nullopt});
    EXPECT_EQ(peer().sendBatchStatusRequestSequential("/a"), std::nullopt);

    // A peer that never reads cannot hold the exchange for longer than the 3 s write limit.
    std::vector<std::string> paths;
    for (int i = 0; i < 2000; ++i) paths.push_back("/Users/someone/Vantorix/a/rather/long/folder/name/file" + std::to_string(i));
    service.scriptNext({Availability::acceptsButNeverReads, Duration(0), std::nullopt});
    before = now();
    EXPECT_EQ(peer().sendBatchStatusRequestSequential(joinPaths(paths)), std::nullopt);
    EXPECT_NEAR(now() - before, 3.0, 1e-9);
    EXPECT_EQ(service.connectionsOpenNow(), 0);

    // A second caller while the exchange is held waits 5 s, then gives up without a connection.
    peer().exitWaitingMode("test");
    int opened = service.connectionsOpened();
    ASSERT_TRUE(peer().exchangeSemaphore().wait(platform.monotonicNow()));
    before = now();
    EXPECT_EQ(peer().sendBatchStatusRequestSequential("/held"), std::nullopt);
    EXPECT_NEAR(now() - before, 5.0, 1e-9);
    EXPECT_EQ(service.connectionsOpened(), opened);
    EXPECT_TRUE(peer().waitingMode());
    EXPECT_EQ(peer().retryQueue().back(), "/held");
    peer().exchangeSemaphore().signal();
    EXPECT_EQ(batchAnswered("/a", Reply::text("0\n")), "0");  // the semaphore is whole again
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
    EXPECT_TRUE(peer().waitingMode());
    EXPECT_EQ(platform.logEntriesWith("waiting mode entered").at(0).field("reason"), "write_failed");
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
