// The session service as a process on its real socket: hosts joining it as `vantorix-finder trace --join` and as
// raw sockets that misbehave, the reference local service behind it, each case in a runtime folder of its own.
// Runs in a private network namespace (the local service's port is its own) as the user's own root; the stranger
// of another uid is StrangerOnTheServiceSocket, which needs the machine's root.
#include "ChildProcess.h"
#include "TraceProcess.h"
#include "protocol/HostSocket.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace vantorix::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using Lines = TraceProcess::Lines;

// Whether the child has exited, leaving it to be reaped.
bool hasExited(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// A raw connection to the service, for hosts that misbehave.
struct RawHost {
    explicit RawHost(const std::string& runtime) {
        host::HostSocket socket = host::connectHostSocket(runtime, false);
        fd = socket.fd;
        EXPECT_EQ(socket.state, host::HostSocket::State::connected) << socket.error;
    }
    ~RawHost() { ::close(fd); }
    void send(const std::string& bytes) const { (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Whether a status line has come so far, reading what has arrived without waiting.
    bool gotStatus() {
        char buffer[65536];
        for (pollfd ready{fd, POLLIN, 0}; ::poll(&ready, 1, 0) > 0;) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got.find("\"call\":\"status\"") != std::string::npos;
    }
    int fd = -1;
    std::string got;
};

class SessionService : public ::testing::Test {
protected:
    SessionService() {
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("VANTORIX_LOG", "info", 1);
        fs::create_directories(root / "Docs");
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) std::ofstream(root / "Docs" / name) << "x";
        std::ofstream(work / "statuses") << "3 Docs/b.txt\n";
    }
    ~SessionService() override {
        for (pid_t pid : started) ::kill(pid, SIGKILL), exitWithin(pid, 2s);
        if (HasFailure()) std::printf("--- service log\n%s", log().c_str());
    }

    // Starts the service's `command` and waits until it serves or has ended.
    pid_t startService(const std::vector<std::string>& command = {VANTORIX_FINDER_PATH, "serve"}) {
        std::size_t before = log().size();
        pid_t pid = started.emplace_back(spawn(command, work / "service.log"));
        EXPECT_TRUE(eventually([&] { return log().find("the service started", before) != std::string::npos || hasExited(pid); }, 5s));
        return pid;
    }
    // Starts a service that must refuse to: it ends with status 1 and logs `why`.
    void startRefused(const std::string& why) {
        EXPECT_EQ(exitWithin(spawn({VANTORIX_FINDER_PATH, "serve"}, work / "service.log"), 5s), 1) << why;
        EXPECT_NE(log().find(why), std::string::npos) << log();
    }
    std::unique_ptr<TraceProcess> join() { return std::make_unique<TraceProcess>(VANTORIX_FINDER_PATH, nullptr, std::vector<std::string>{"trace", "--join"}); }
    std::string log() const { return contents(work / "service.log"); }

    TemporaryFolder folder{"vantorix-session"};
    const fs::path& work = folder.path;
    fs::path runtime = work / "runtime", root = work / "Vantorix";
    std::vector<pid_t> started;
};

// Hosts share one service and each gets its own lines; then hosts that misbehave cost the others nothing.
TEST_F(SessionService, HostsShareOneServiceAndThoseThatMisbehaveCostTheOthersNothing) {
    started.push_back(spawn({VANTORIX_LOCALSERVICE_PATH, "--root", root, "--status-file", work / "statuses"}, work / "local.log"));
    startService({VANTORIX_FINDER_PATH, "serve", "--host-backlog", "65536"});
    std::string docs = (root / "Docs").string(), b = docs + "/b.txt", many = (root / "Many").string();
    fs::create_directories(many);
    for (int i = 0; i < 2000; ++i) std::ofstream(many + "/file-" + std::to_string(i) + ".txt");
    auto first = join(), second = join();
    first->send("show " + docs);
    ASSERT_TRUE(first->waitFor([&](const Lines& lines) { return TraceProcess::badgesIn(lines)[b] == "error"; }, 8s)) << "the sync folder is learned 3 s after the start";
    // The second host showing the folder has its badges from what the service knows (what each host is given:
    // HostRouterTest); then it leaves.
    second->send("show " + docs);
    ASSERT_TRUE(second->waitFor([&](const Lines& lines) {
        auto badges = TraceProcess::badgesIn(lines);
        return badges[b] == "error" && badges[docs + "/a.txt"] == "success";
    }, 2s));
    second->closeInput();
    EXPECT_EQ(second->waitForExit(3s), 0) << "quitting ends the host's connection";

    // status names the hosts joined; the one that quit is gone. The log tells who joined and left.
    first->send("status");
    ASSERT_TRUE(first->waitFor([](const Lines& lines) { return lines.back().value("call", "") == "status"; }, 3s));
    Json status = first->lines().back();
    EXPECT_EQ(status["syncFolder"], root.string());
    ASSERT_EQ(status["hosts"].size(), 1u);
    EXPECT_EQ(status["hosts"][0]["pid"], first->pid());
    EXPECT_EQ(status["hosts"][0]["shownFolders"], 1);
    EXPECT_NE(log().find("a host left: it quit pid=" + std::to_string(second->pid())), std::string::npos);

    // Garbage, a line of 10 MB, a host killed in the middle of a line, and one that never reads its lines.
    RawHost garbage(runtime), longLine(runtime), cut(runtime), deaf(runtime);
    garbage.send("hello there\n\x01\x02\xff\nshow\n{\"call\":1}\n");
    longLine.send("request /" + std::string(10u << 20, 'x') + "\nstatus\n");
    cut.send("show " + docs);
    ::shutdown(cut.fd, SHUT_RDWR);
    deaf.send("show " + many + "\n");
    // 200 hosts at once, each given its hello.
    std::vector<std::unique_ptr<RawHost>> crowd;
    for (int i = 0; i < 200; ++i) crowd.push_back(std::make_unique<RawHost>(runtime.string()));
    for (auto& host : crowd) host->send("status\n");
    // All answered within 10 s (the service's main thread also serves the deaf host's folder meanwhile).
    EXPECT_TRUE(eventually([&] { return std::ranges::all_of(crowd, [](auto& host) { return host->gotStatus(); }); }, 10s));
    EXPECT_TRUE(eventually([&] { return longLine.gotStatus(); }, 3s)) << "the line after the long one is served";
    EXPECT_TRUE(eventually([&] { return log().find("left more than") != std::string::npos; }, 10s)) << "the deaf host is dropped";
    EXPECT_NE(log().find("skipped a host's line longer than the service takes"), std::string::npos);
    EXPECT_NE(log().find("skipped a host's line that is no command"), std::string::npos);
    EXPECT_NE(log().find("in the middle of a line (dropped)"), std::string::npos);

    // The first host saw none of it: a change still reaches it at once, the crowd still joined.
    std::ofstream(work / "statuses") << "5 Docs/b.txt\n";
    EXPECT_TRUE(first->waitFor([&](const Lines& lines) { return TraceProcess::badgesIn(lines)[b] == "readonly"; }, 5s));
}

// Its own place only, one service at a time (also when the session bus starts it), a stale socket replaced; it ends
// when idle, replaced or its socket removed, and not before.
TEST_F(SessionService, ItUsesOnlyItsOwnPlaceRunsOneAtATimeAndEndsWhenIdleOrReplacedAndNotBefore) {
    // Without a runtime folder: a clear error.
    ::unsetenv("XDG_RUNTIME_DIR");
    startRefused("XDG_RUNTIME_DIR is not set");
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    // A file where the socket goes is not the service's: it is neither used nor replaced.
    fs::create_directories(runtime / "vantorix");
    std::ofstream(runtime / "vantorix/finder.sock") << "not a socket";
    startRefused("is not this user's socket");
    EXPECT_EQ(contents(runtime / "vantorix/finder.sock"), "not a socket");
    fs::remove(runtime / "vantorix/finder.sock");

    // A folder open to others is made private again. Started again while one serves: the second says so and ends.
    fs::permissions(runtime / "vantorix", fs::perms::all);
    pid_t serving = startService(), second = startService();
    EXPECT_EQ(exitWithin(second, 5s), 0);
    EXPECT_NE(log().find("a service already runs for this user"), std::string::npos);
    EXPECT_EQ(fs::status(runtime / "vantorix").permissions(), fs::perms::owner_all);
    EXPECT_EQ(exitWithin(serving, 500ms), -1);

    // Killed, it leaves its socket behind: the next one replaces that stale socket and serves. It is a copy of the
    // program with its resources, to be replaced as an upgrade replaces it (a new file renamed over).
    ::kill(serving, SIGKILL);
    exitWithin(serving, 2s);
    ASSERT_TRUE(fs::is_socket(runtime / "vantorix/finder.sock"));
    EXPECT_EQ(host::connectHostSocket(runtime, false).state, host::HostSocket::State::absent);
    const std::string copy = work / "libexec/vantorix-finder";
    fs::create_directories(work / "libexec");
    fs::copy(fs::path(VANTORIX_FINDER_PATH).parent_path() / "resources", work / "libexec/resources");
    fs::copy_file(VANTORIX_FINDER_PATH, copy);
    pid_t pid = startService({copy, "serve", "--idle-exit", "1"});
    {
        auto host = join();
        ASSERT_TRUE(host->waitFor([](const Lines& lines) { return !lines.empty() && lines[0]["call"] == "hello"; }, 5s));
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(exitWithin(pid, 0ms), -1) << "a host is joined: the service stays";
    }
    EXPECT_EQ(exitWithin(pid, 4s), 0) << "no host for a second: the service ends";
    EXPECT_NE(log().find("no file manager joined for 1 s"), std::string::npos);
    EXPECT_FALSE(fs::exists(runtime / "vantorix/finder.sock")) << "it takes its socket with it";

    pid = startService({copy, "serve", "--idle-exit", "0"});
    auto host = join();
    ASSERT_TRUE(host->waitFor([](const Lines& lines) { return !lines.empty(); }, 5s));
    fs::copy_file(VANTORIX_FINDER_PATH, copy + ".new");
    fs::rename(copy + ".new", copy);
    EXPECT_EQ(exitWithin(pid, 4s), 0);
    EXPECT_NE(log().find("was replaced (an upgrade)"), std::string::npos);
    EXPECT_EQ(host->waitForExit(3s), 0) << "its hosts see the connection end";

    // Its socket removed under it, it ends.
    pid = startService();
    fs::remove_all(runtime / "vantorix");
    EXPECT_EQ(exitWithin(pid, 5s), 0);
    EXPECT_NE(log().find("was removed or replaced"), std::string::npos);

    // Started by the session bus: `trace --join` asks the bus when no service runs, and hosts asking at once start
    // one. The bus starts the service in its own environment: this case's runtime folder is given to it.
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) GTEST_SKIP() << "no session bus";
    ASSERT_EQ(std::system(("dbus-update-activation-environment XDG_RUNTIME_DIR=" + runtime.string()).c_str()), 0);
    std::vector<std::unique_ptr<TraceProcess>> hosts;
    for (int i = 0; i < 3; ++i) hosts.push_back(join());
    std::set<int> services;
    for (auto& host : hosts) {
        ASSERT_TRUE(host->waitFor([](const Lines& lines) { return !lines.empty(); }, 10s));
        services.insert(host->lines()[0].value("pid", 0));
    }
    EXPECT_EQ(services.size(), 1u);
    EXPECT_GT(*services.begin(), 0);
    for (int service : services) ::kill(service, SIGTERM);
}

// As the machine's root, against a service another user runs (uid 65534, in the runtime folder given to it): root's
// connection is closed before a byte, and logged; a host as root does not connect to that user's folder at all;
// and root's own service refuses a runtime folder of another user.
using StrangerOnTheServiceSocket = SessionService;
TEST_F(StrangerOnTheServiceSocket, AnotherUsersConnectionGetsNoByte) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root, to run the service as another user";
    constexpr uid_t kNobody = 65534;
    fs::permissions(work, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    ASSERT_EQ(::chown(runtime.c_str(), kNobody, kNobody), 0);
    pid_t service = spawn({VANTORIX_FINDER_PATH, "serve", "--idle-exit", "0"}, work / "service.log", kNobody);
    fs::path socketPath = runtime / "vantorix/finder.sock";
    ASSERT_TRUE(eventually([&] { return fs::exists(socketPath); }, 5s));

    EXPECT_EQ(host::connectHostSocket(runtime, false).state, host::HostSocket::State::unsafe);
    // Root can open any socket: the service's own check closes it before the hello.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    socketPath.string().copy(address.sun_path, sizeof address.sun_path - 1);
    // The socket's file appears at bind(), a moment before the service listens on it.
    ASSERT_TRUE(eventually([&] { return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0; }, 5s));
    timeval timeout{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "the connection ends with no byte";
    ::close(fd);
    EXPECT_TRUE(eventually([&] { return log().find("refused a connection from another user") != std::string::npos; }, 2s));
    EXPECT_NE(log().find("uid=0"), std::string::npos);

    // Root's service in that user's folder: refused, nothing touched.
    startRefused("is not this user's");
    EXPECT_EQ(exitWithin(service, 0ms), -1) << "the other user's service still serves";
    ::kill(service, SIGTERM);
    EXPECT_EQ(exitWithin(service, 5s), 0);
}

}  // namespace
}  // namespace vantorix::testing
