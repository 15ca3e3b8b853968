// The reference local service as a process on 127.0.0.1:27835: its answers, its limits, clients that misbehave, and
// many at once.
#include "ChildProcess.h"
#include "OpenedByProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
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
    (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);  // blocking: all of it, unless the service closes first
    if (shutdownWrite) ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[65536];
    pollfd pfd{fd, POLLIN, 0};
    for (ssize_t n; ::poll(&pfd, 1, 5000) > 0 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return answer;
}

// One service through every case, ended by SIGTERM at the end; no case stops the test early, so that it always is.
TEST(LocalServiceProtocol, AnswersWithinItsLimitsAndServesManyClientsAtOnce) {
    TemporaryFolder folder("vantorix-service");
    const std::string root = folder.path;
    std::filesystem::create_directories(root + "/Shared");
    std::ofstream(root + "/rules") << "4 *.tmp\n7 Shared/*\n";
    pid_t pid = spawn({VANTORIX_LOCALSERVICE_PATH, "--root", root, "--status-file", root + "/rules", "--faults", root + "/faults"}, "/dev/stderr");
    for (int i = 0; i < 200 && exchange("PING\n") != "PONG\n"; ++i) std::this_thread::sleep_for(25ms);
    // It listens on the loopback address only (127.0.0.1:27835, as /proc writes it), never on every address.
    EXPECT_EQ(listeningAddresses(pid), std::vector<std::string>{"0100007F:6CBB"});
    // Its folder and rules are the ones it was started with. (The refusals' text: LocalServiceRulesTest.)
    EXPECT_EQ(exchange("PING\n"), "PONG\n");
    EXPECT_EQ(exchange("GET_SYNC_PATH\n"), root + "\n");
    EXPECT_EQ(exchange("BATCH_STATUS:" + root + "/a.txt||" + root + "/b.tmp|" + root + "/Shared/x|\n"), "0|4|7\n");
    // A request without a line feed, then the writing side closed: still answered.
    EXPECT_EQ(exchange("PING", true), "PONG\n");
    // A 1 MB line is read whole and refused; one past the limit is cut off with an error.
    EXPECT_EQ(exchange(std::string(1 << 20, 'x') + "\n").rfind("ERROR:", 0), 0u);
    EXPECT_EQ(exchange(std::string(5 << 20, 'x')), "ERROR: request too long\n");
    // Told to misbehave, it does, and then answers honestly again.
    for (auto [fault, answer] : {std::pair{"refuse", "<no connection>"}, {"close", ""}, {"garbage", "\n"}, {"none", "PONG\n"}}) {
        std::ofstream(root + "/faults") << fault;
        std::this_thread::sleep_for(600ms);
        EXPECT_EQ(exchange("PING\n"), answer) << fault;
    }

    // 1,000 connections opened and left idle (more sockets than a default descriptor limit of 1,024 allows, with
    // what follows), and 200 clients at once beside them: all answered.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) limit.rlim_cur = limit.rlim_max, ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> idle;
    for (int i = 0, fd; i < 1000; ++i) {
        if ((fd = connectToService()) >= 0) idle.push_back(fd);
    }
    EXPECT_GE(idle.size(), 900u);
    std::vector<std::future<std::string>> answers;
    for (int i = 0; i < 200; ++i) answers.push_back(std::async(std::launch::async, [] { return exchange("PING\n"); }));
    EXPECT_EQ(std::ranges::count_if(answers, [](auto& answer) { return answer.get() == "PONG\n"; }), 200);
    for (int fd : idle) ::close(fd);

    ::kill(pid, SIGTERM);
    EXPECT_EQ(exitWithin(pid, 10s), 0) << "the service did not end cleanly on SIGTERM";
}

}  // namespace
}  // namespace vantorix::testing
