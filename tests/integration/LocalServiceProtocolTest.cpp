// The reference local service as a process on 127.0.0.1:27835: its answers, its limits, and clients that
// misbehave.
#include "ChildProcess.h"
#include "OpenedByProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;

int connectToService() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(27835), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

// Sends the bytes (optionally closing the writing side), then reads until the service closes; times out at 5 s.
std::string exchange(const std::string& bytes, bool shutdownWrite = false) {
    int fd = connectToService();
    if (fd < 0) return "<no connection>";
    for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    if (shutdownWrite) ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[65536];
    pollfd pfd{fd, POLLIN, 0};
    for (ssize_t n; ::poll(&pfd, 1, 5000) > 0 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return answer;
}

class LocalServiceProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root / "Shared");
        std::ofstream(root / "rules") << "4 *.tmp\n7 Shared/*\n";
        pid = spawn({VANTORIX_LOCALSERVICE_PATH, "--root", root, "--status-file", root / "rules", "--faults", root / "faults"}, "/dev/stderr");
        for (int i = 0; i < 200 && exchange("PING\n") != "PONG\n"; ++i) std::this_thread::sleep_for(25ms);
    }
    void TearDown() override {
        ::kill(pid, SIGTERM);
        EXPECT_EQ(exitWithin(pid, 10s), 0) << "the service did not end cleanly on SIGTERM";
    }
    TemporaryFolder folder{"vantorix-service"};
    const std::filesystem::path& root = folder.path;
    pid_t pid = -1;
};

TEST_F(LocalServiceProtocol, AnswersEachRequestWithinItsLimits) {
    std::string r = root.string();
    // It listens on the loopback address only (127.0.0.1:27835, as /proc writes it), never on every address.
    EXPECT_EQ(listeningAddresses(pid), std::vector<std::string>{"0100007F:6CBB"});
    // Its folder and rules are the ones it was started with. (The refusals' text: LocalServiceRulesTest.)
    EXPECT_EQ(exchange("PING\n"), "PONG\n");
    EXPECT_EQ(exchange("GET_SYNC_PATH\n"), r + "\n");
    EXPECT_EQ(exchange("BATCH_STATUS:" + r + "/a.txt||" + r + "/b.tmp|" + r + "/Shared/x|\n"), "0|4|7\n");
    // A request without a line feed, then the writing side closed: still answered.
    EXPECT_EQ(exchange("PING", true), "PONG\n");
    // A 1 MB line is read whole and refused; one past the limit is cut off with an error.
    EXPECT_EQ(exchange(std::string(1 << 20, 'x') + "\n").rfind("ERROR:", 0), 0u);
    EXPECT_EQ(exchange(std::string(5 << 20, 'x')), "ERROR: request too long\n");
    // Told to misbehave, it does, and then answers honestly again.
    for (auto [fault, answer] : {std::pair{"refuse", "<no connection>"}, {"close", ""}, {"garbage", "\n"}, {"none", "PONG\n"}}) {
        std::ofstream(root / "faults") << fault;
        std::this_thread::sleep_for(600ms);
        EXPECT_EQ(exchange("PING\n"), answer) << fault;
    }
}

TEST_F(LocalServiceProtocol, ServesManyClientsAtOnceAndIgnoresIdleOnes) {
    // This test holds some 1,200 sockets at once: more than a default descriptor limit of 1,024.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    // 1,000 connections opened and left idle.
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        int fd = connectToService();
        if (fd >= 0) idle.push_back(fd);
    }
    EXPECT_GE(idle.size(), 900u);
    // 200 clients at once beside them are all answered.
    std::vector<std::future<std::string>> answers;
    for (int i = 0; i < 200; ++i) answers.push_back(std::async(std::launch::async, [] { return exchange("PING\n"); }));
    int pongs = 0;
    for (auto& answer : answers) pongs += answer.get() == "PONG\n";
    EXPECT_EQ(pongs, 200);
    for (int fd : idle) ::close(fd);
}

}  // namespace
}  // namespace vantorix::testing
