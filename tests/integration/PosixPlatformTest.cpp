// What only the real platform has: a worker pool that grows under blocking work and shrinks when idle, the session
// bus, and the owner of a peer's socket. (The guarantees both platforms keep, refused and stalled connections and
// sync() on the caller's thread among them, are in PlatformConformanceTest; what the exchanges make of them, in
// ServiceExchangeTest; the whole extension on real threads through outages, in the chaos soak.)
#include "Eventually.h"
#include "LoopbackPeer.h"
#include "platforms/posix/PosixPlatform.h"
#include "platforms/posix/SessionBusNotificationCenter.h"
#include "service/ServiceExchange.h"

#include <gtest/gtest.h>

#include <barrier>
#include <future>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;

TEST(WorkerPool, GrowsForBlockingWorkAndLetsIdleThreadsGo) {
    // Forty tasks that each wait until all forty have started: only a pool that grows can finish them.
    constexpr int kBlocks = 40;
    std::promise<void> done;
    std::barrier allStarted(kBlocks, [&]() noexcept { done.set_value(); });
    posix::WorkerPool pool(256, 200ms);
    for (int i = 0; i < kBlocks; ++i) pool.submit(QualityOfService::userInitiated, [&] { allStarted.arrive_and_wait(); });
    ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_GE(pool.threadCount(), static_cast<std::size_t>(kBlocks));
    // Idle threads go after their idle time; the pool grows again when work comes.
    EXPECT_TRUE(eventually([&] { return pool.threadCount() == 0; }, 10s, 20ms)) << pool.threadCount() << " threads left";
    std::promise<void> again;
    pool.submit(QualityOfService::utility, [&] { again.set_value(); });
    EXPECT_EQ(again.get_future().wait_for(20s), std::future_status::ready);
}

// A session bus that takes connections and never answers: subscribing must not hold the caller (the extension's
// initializer) for the bus's call timeout; the subscription completes, or fails, in the background. (The address
// is left set: no other case here uses the session bus, and ctest runs each case in a process of its own.)
TEST(SessionBus, SubscribingNeverWaitsForABusThatDoesNotAnswer) {
    std::string name = "vantorix-mute-bus-" + std::to_string(::getpid());
    sockaddr_un address{AF_UNIX, {}};
    name.copy(address.sun_path + 1, sizeof address.sun_path - 1);  // an abstract name: no file to leave behind
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), offsetof(sockaddr_un, sun_path) + 1 + name.size()), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:abstract=" + name).c_str(), 1);
    {
        posix::SessionBusNotificationCenter center([](const LogEntry&) {});
        auto started = std::chrono::steady_clock::now();
        center.addObserver(&center, "VantorixStatusChanged", [](const Notification&) {});
        center.post("VantorixStatusChanged", "", std::nullopt);
        // Waiting for the bus would take its call timeout (25 s): the bound is far from both that and any load.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "the caller waited for the bus";
    }
    pollfd reached{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&reached, 1, 2000), 1) << "the center never connected to the mute bus";
    ::close(listener);
}

// As root, a listener started as another user (nobody) is recognised by its socket's owner and sent no byte.
// (Both exchanges refusing a stranger, on the owner the platform reports: ServiceExchangeTest.)
TEST(StrangerPeer, AnotherUsersListenerGetsNoBytes) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to start a listener as another user";
    int toParent[2];
    ASSERT_EQ(::pipe(toParent), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // The stranger: nobody, listening on a free loopback port; it reports the port, then the bytes it got.
        auto report = [&](long value) { (void)!::write(toParent[1], &value, sizeof value); };
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) report(-1), ::_exit(0);
        int port = 0, listener = listenOnLoopback(0, false, port, "the stranger");
        report(port);
        long received = 0;
        std::vector<int> clients;
        char buffer[256];
        for (auto end = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < end;) {
            pollfd ready{listener, POLLIN, 0};
            if (::poll(&ready, 1, 50) > 0) clients.push_back(::accept(listener, nullptr, nullptr));
            for (int client : clients) received += std::max<ssize_t>(::recv(client, buffer, sizeof buffer, MSG_DONTWAIT), 0);
        }
        report(received);
        ::_exit(0);
    }
    long port = 0, received = -1;
    ASSERT_EQ(::read(toParent[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    if (port < 0) {
        ::waitpid(child, nullptr, 0);
        GTEST_SKIP() << "cannot start a process as nobody here (a user namespace?)";
    }
    posix::PosixPlatform platform(posix::PosixPlatform::Options{"", false});
    ExchangeOutcome outcome = runServiceExchange(platform, "127.0.0.1", static_cast<int>(port), batchStatusExchange("/a|/b"));
    EXPECT_EQ(outcome.failure, ExchangeFailure::strangerPeer);
    EXPECT_EQ(outcome.peerUserId, 65534);
    ASSERT_EQ(::read(toParent[0], &received, sizeof received), static_cast<ssize_t>(sizeof received));
    EXPECT_EQ(received, 0);
    ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace vantorix::testing
