// The two programs end to end on 127.0.0.1:27835: the stand-in and the extension as one program against a scripted
// local service, on a private session bus where status changes are posted by other processes (this test, the
// stand-in's own `post`, or gdbus); and the reference local service as a process: its answers, its limits, clients
// that misbehave, and many at once.
#include "ChildProcess.h"
#include "LoopbackPeer.h"
#include "OpenedByProcess.h"
#include "TraceProcess.h"
#include "platforms/posix/SessionBusNotificationCenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <poll.h>
#include <ranges>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;
using Lines = TraceProcess::Lines;

Lines callsOf(const Lines& lines, const std::string& call) {
    Lines calls;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(calls), [&](const auto& line) { return line.value("call", "") == call; });
    return calls;
}

// The black-box interface at work: the seven badges registered in order, then a shown folder of 120 files badged,
// the sync folder itself never badged; meanwhile the extension listens on no socket and writes no file. (The
// batches of 50: the simulated status road. Outages, stalls and recoveries of the real processes: the chaos soak.)
// Then notifications: a direct update posted by the stand-in is shown before its one confirming request; the same
// payloads from gdbus (nested variants too) or from another process are accepted alike, wrong types ignored whole;
// a flood with malformed notifications never blocks the file manager.
TEST(TraceEndToEnd, BadgesAShownFolderAndNotificationsFromAnySenderAndAFloodBlocksNothing) {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) GTEST_SKIP() << "no session bus";
    TemporaryFolder folder("vantorix-e2e");
    const std::string root = folder.path;
    std::vector<std::string> files;
    for (int i = 0; i < 120; ++i) std::ofstream(files.emplace_back(root + "/file" + std::to_string(1000 + i) + ".txt")) << i;
    std::mutex mutex;
    simulation::ScriptedLocalService service;  // "0" for every path until told otherwise; its statuses under mutex
    service.setSyncPath(root);
    auto setStatus = [&](const std::string& path, const std::string& code) { std::lock_guard lock(mutex); service.setStatus(path, code); };
    std::atomic<int> confirmedBeforeShown{0};
    std::optional<TraceProcess> trace;  // started once the service listens; ends after it
    LoopbackPeer peer([&](const std::string& line) {
        std::lock_guard lock(mutex);
        // Once files[2] has its direct update, the update must be shown by the time its confirming request comes.
        if (service.statusOf(files[2]) != "0" && line == "BATCH_STATUS:" + files[2]) {
            confirmedBeforeShown += !trace->waitFor([&](const Lines& lines) { return TraceProcess::badgesIn(lines)[files[2]] == "error"; }, 1s);
        }
        return service.replyTo({}, line);
    }, 27835);
    auto aloneRequests = [&](const std::string& path) { return std::ranges::count(peer.requests(), "BATCH_STATUS:" + path); };
    trace.emplace(VANTORIX_FINDER_PATH);
    trace->send("show " + root);
    ASSERT_TRUE(trace->waitFor([&](const Lines& lines) { return std::ranges::count(TraceProcess::badgesIn(lines) | std::views::values, "success") == 120; }, 20s));
    Lines lines = trace->lines();
    std::string registered;
    for (const auto& line : callsOf(lines, "setBadgeImage")) registered += line["badge"].get<std::string>() + "=" + line["label"].get<std::string>() + "/" + line["image"].get<std::string>() + " ";
    EXPECT_EQ(registered, "success=Synced/oi_success sync=Syncing/oi_sync error=Error/oi_error exclude=Excluded/oi_exclude "
                          "readonly=Read-only/oi_readonly shared=Shared/oi_shared company=Company/oi_company ");
    EXPECT_TRUE(lines[0]["t"].is_number());
    for (const auto& line : callsOf(lines, "setBadgeIdentifier")) EXPECT_NE(line["path"], root) << "the sync folder got a badge";
    EXPECT_EQ(callsOf(lines, "setDirectoryURLs").at(0)["urls"][0], "file://" + root);
    EXPECT_TRUE(listeningAddresses(trace->pid()).empty());
    EXPECT_EQ(filesOpenForWriting(trace->pid()), std::vector<std::string>{});

    setStatus(files[2], "3");
    trace->send("post VantorixStatusChanged {\"paths\":[\"/x\"],\"sync_state\":[{\"path\":\"" + files[2] + "\",\"state\":\"3\"}]}");
    ASSERT_TRUE(trace->waitFor([&](const Lines&) { return aloneRequests(files[2]) == 1; }, 5s));
    EXPECT_EQ(confirmedBeforeShown, 0);  // (that "paths" is not asked for when states come along: the NotificationIntake tests)

    auto emit = [](const std::string& name, const std::string& userInfo) {
        return std::system(("gdbus emit --session --object-path /com/vantorix/DistributedNotificationCenter --signal "
                            "com.vantorix.DistributedNotificationCenter.Notification '" + name + "' '' \"" + userInfo + "\" >/dev/null").c_str());
    };
    if (std::system("command -v gdbus >/dev/null 2>&1") == 0) {
        ASSERT_EQ(emit("VantorixSharedStatusChanged", "{'paths': <['" + files[1] + "']>}"), 0);
        EXPECT_TRUE(trace->waitFor([&](const Lines&) { return aloneRequests(files[1]) == 1; }, 5s));
        setStatus(files[4], "7");
        ASSERT_EQ(emit("VantorixStatusChanged", "{'paths': <@as []>, 'sync_state': <[{'path': <'" + files[4] + "'>, 'state': <'7'>}]>, 'priority': <true>}"), 0);
        EXPECT_TRUE(trace->waitFor([&](const Lines& lines) { return TraceProcess::badgesIn(lines)[files[4]] == "shared"; }, 5s));
        ASSERT_EQ(emit("VantorixSharedStatusChanged", "{'paths': <'" + files[0] + "'>}"), 0);  // "paths" as a string
    }
    posix::SessionBusNotificationCenter poster;
    ASSERT_TRUE(poster.isConnected());
    poster.post("VantorixSharedStatusChanged", "", PropertyValue(PropertyValue::Dictionary{{"paths", PropertyValue::Array{files[3]}}}));
    EXPECT_TRUE(trace->waitFor([&](const Lines&) { return aloneRequests(files[3]) == 1; }, 5s));
    EXPECT_EQ(aloneRequests(files[0]), 0);

    for (int i = 0; i < 10000; ++i) poster.post("VantorixSharedStatusChanged", "", PropertyValue(PropertyValue::Dictionary{{"paths", PropertyValue::Array{}}}));
    PropertyValue deep("leaf");
    for (int i = 0; i < 200; ++i) deep = PropertyValue(PropertyValue::Array{deep});
    poster.post("VantorixStatusChanged", "", PropertyValue(PropertyValue::Dictionary{{"paths", deep}, {"sync_state", std::string(1 << 20, 'x')}}));
    trace->send("request /nowhere/probe");  // outside the sync folder: answered at once, unless blocked
    EXPECT_TRUE(trace->waitFor([&](const Lines& lines) { return TraceProcess::badgesIn(lines).contains("/nowhere/probe"); }, 5s));
    EXPECT_EQ(TraceProcess::badgesIn(trace->lines())["/nowhere/probe"], "") << "outside the sync folder: no badge";
    trace->send("quit");
    EXPECT_EQ(trace->waitForExit(10s), 0);
}

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
    std::vector<int> idle(1000);
    std::ranges::generate(idle, connectToService);
    std::erase(idle, -1);  // the connections refused
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
