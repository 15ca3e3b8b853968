// The platforms against the guarantees the seam's headers give for queues, timers, the semaphore and streams: one
// conformance suite checked on the real platform (threads, sockets, real time) and on the simulated one (virtual
// time), so that the simulation earns its trust by passing what the real platform passes. Then what only the real
// platform has: a worker pool that grows under blocking work and shrinks when idle, the session bus, and the owner
// of a peer's socket. (What the exchanges make of refused and stalled connections: ServiceExchangeTest; the whole
// extension on real threads through outages: the chaos soak.)
#include "ChildProcess.h"
#include "LoopbackPeer.h"
#include "platforms/posix/PosixPlatform.h"
#include "platforms/posix/SessionBusNotificationCenter.h"
#include "platforms/simulation/SimulatedPlatform.h"
#include "service/ServiceExchange.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cerrno>
#include <future>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;

// The simulated platform: the test's thread is the main thread; time passes only when the test lets it.
class Simulated {
public:
    Platform& platform() { return platform_; }
    void letTimePass(Duration duration) { platform_.advanceBy(duration); }
    bool eventually(const std::function<bool()>& condition) { return platform_.runUntilCondition(condition, 5s); }
    void onMain(const std::function<void()>& block) { block(); }
    int peer(const LoopbackPeer::Handler& handler) { platform_.localService().setHandler(handler); return 27835; }
    int unavailable(simulation::Availability availability) { platform_.localService().setAvailability(availability); return 27835; }

private:
    simulation::SimulatedPlatform platform_;
};

// The real platform, its main run loop on a thread of the test, peers on free loopback ports.
class Real {
public:
    Real() : mainThread_([this] { platform_.runMainLoop(); }) {}
    ~Real() {
        platform_.stopMainLoop();
        mainThread_.join();
    }
    Platform& platform() { return platform_; }
    void letTimePass(Duration duration) { std::this_thread::sleep_for(duration); }
    bool eventually(const std::function<bool()>& condition) { return testing::eventually(condition, 5s, 2ms); }
    void onMain(const std::function<void()>& block) { platform_.mainQueue().sync(block); }
    int peer(const LoopbackPeer::Handler& handler) { return (peer_ = std::make_unique<LoopbackPeer>(handler))->port(); }
    // Refusing: the port of a peer that is gone; or a peer that accepts and never reads.
    int unavailable(simulation::Availability availability) {
        int port = peer([](const std::string&) { return PeerAnswer::silence(); });
        if (availability == simulation::Availability::refusing) peer_.reset(); else peer_->stopReading();
        return port;
    }

private:
    posix::PosixPlatform platform_{posix::PosixPlatform::Options{"", false}};
    std::thread mainThread_;
    std::unique_ptr<LoopbackPeer> peer_;
};

template <typename Harness>
class PlatformConformance : public ::testing::Test, protected Harness {};
using Platforms = ::testing::Types<Simulated, Real>;
TYPED_TEST_SUITE(PlatformConformance, Platforms);

// A serial queue runs its blocks one at a time in submission order, and sync() on the caller's thread after every
// earlier block; async() never runs its block before it returns, and the main queue's run on the main thread;
// isCurrent() knows where it runs (on the main thread too: the timer case). asyncAfter(d) never runs earlier than
// d, on a serial queue or the main queue; equal delays on one queue run in submission order.
TYPED_TEST(PlatformConformance, QueuesRunInOrderOneAtATimeAndNeverEarly) {
    auto queue = this->platform().makeSerialQueue("com.vantorix.test.serial", QualityOfService::defaultQoS);
    std::atomic<int> inside{0}, done{0}, broken{0};  // broken: an overlap, a block out of order, the main queue current
    int count = 0, last[4] = {-1, -1, -1, -1};  // plain state: safe only if blocks never overlap
    for (int submitter = 0; submitter < 4; ++submitter) {
        this->platform().globalQueue(QualityOfService::userInitiated).async([&, submitter] {
            broken += this->platform().mainQueue().isCurrent();
            for (int i = 0; i < 50; ++i) {
                auto block = [&, submitter, i] {
                    broken += inside.fetch_add(1) != 0 || last[submitter] >= i;
                    last[submitter] = i;
                    ++count;
                    inside.fetch_sub(1);
                };
                if (i % 10 == 0) queue->sync(block);
                else queue->async(block);
            }
            ++done;
        });
    }
    ASSERT_TRUE(this->eventually([&] { return done == 4; }));
    std::thread::id caller = std::this_thread::get_id();
    queue->sync([&] {
        EXPECT_EQ(count, 200);  // after every block submitted before it
        EXPECT_TRUE(queue->isCurrent() && std::this_thread::get_id() == caller);
    });
    EXPECT_EQ(broken, 0);
    EXPECT_FALSE(queue->isCurrent());

    std::atomic<int> step{0}, stepSeenByAsync{-1};
    this->onMain([&] {
        this->platform().mainQueue().async([&] { stepSeenByAsync = this->platform().mainQueue().isCurrent() ? step.load() : -2; });
        step = 1;
    });
    EXPECT_TRUE(this->eventually([&] { return stepSeenByAsync == 1; }));

    MonotonicTime submitted = this->platform().monotonicNow();
    std::vector<int> order;
    std::atomic<int> early{0}, ran{0};
    for (int i = 0; i < 4; ++i) {
        Duration delay = i < 3 ? 30ms : 20ms;
        (i < 3 ? *queue : this->platform().mainQueue()).asyncAfter(delay, [&, i, delay] {
            early += this->platform().monotonicNow() < submitted + delay;
            if (i < 3) order.push_back(i);
            ++ran;
        });
    }
    ASSERT_TRUE(this->eventually([&] { return ran == 4; }));
    EXPECT_EQ(early, 0);
    queue->sync([&] { EXPECT_EQ(order, (std::vector<int>{0, 1, 2})); });
}

// A sync() onto the queue the caller runs on is the deadlock it would be: the platform aborts naming the queue.
TYPED_TEST(PlatformConformance, SyncOntoTheRunningQueueAbortsNamingIt) {
    auto lock = this->platform().makeSerialQueue("com.vantorix.waiting.mode.lock", QualityOfService::defaultQoS);
    EXPECT_DEATH(lock->sync([&] { lock->sync([] {}); }), "com.vantorix.waiting.mode.lock");
}

// Timers are scheduled and fire on the main thread; a one-shot timer is spent when it fires; a repeating one
// fires until invalidated (also from its own action), and firings missed while the main thread was busy are
// skipped, not run in a burst.
TYPED_TEST(PlatformConformance, TimersFireOnTheMainThreadAndSkipMissedFirings) {
    std::atomic<int> oneShot{0}, repeating{0}, wrong{0}, firings{0}, busyOver{0};
    std::shared_ptr<Timer> once, every, periodic;
    this->onMain([&] {
        once = this->platform().scheduleTimer(10ms, false, [&](Timer& timer) { ++oneShot; wrong += timer.isValid() || !this->platform().mainQueue().isCurrent(); });
        every = this->platform().scheduleTimer(10ms, true, [&](Timer& timer) {
            wrong += !this->platform().mainQueue().isCurrent();
            if (++repeating == 3) timer.invalidate();
        });
    });
    ASSERT_TRUE(this->eventually([&] { return oneShot >= 1 && repeating >= 3; }));
    this->letTimePass(50ms);
    // (one-shot firings, repeating firings, firings off the main thread or of a one-shot still valid, valid)
    EXPECT_EQ(std::tuple(oneShot.load(), repeating.load(), wrong.load(), every->isValid()), std::tuple(1, 3, 0, false));

    this->onMain([&] {
        periodic = this->platform().scheduleTimer(100ms, true, [&](Timer&) { ++firings; });
        this->platform().mainQueue().async([&] {
            this->platform().sleep(350ms);  // the main thread is busy through three due firings
            busyOver = 1;
        });
    });
    ASSERT_TRUE(this->eventually([&] { return busyOver == 1; }));
    this->letTimePass(30ms);
    EXPECT_EQ(firings, 1);  // one late firing for the three missed
    periodic->invalidate();
}

// wait() takes a unit, or returns false at its deadline; a past deadline does not wait; a signal from another
// thread releases a waiter. (The signal comes after the deadlines, so that a wait past its deadline shows.)
TYPED_TEST(PlatformConformance, SemaphoreTakesAUnitOrReportsTheDeadline) {
    std::shared_ptr<Semaphore> semaphore = this->platform().makeSemaphore(1);
    EXPECT_TRUE(semaphore->wait(this->platform().monotonicNow() + 1s));
    this->platform().globalQueue(QualityOfService::utility).asyncAfter(500ms, [semaphore] { semaphore->signal(); });
    ASSERT_FALSE(semaphore->wait(this->platform().monotonicNow() - 1s));
    MonotonicTime before = this->platform().monotonicNow();
    ASSERT_FALSE(semaphore->wait(before + 20ms));
    EXPECT_GE(this->platform().monotonicNow() - before, 20ms);
    EXPECT_TRUE(semaphore->wait(this->platform().monotonicNow() + 10s));
}

// The client side of a connection: one read takes what has arrived, and an answer, its first piece or the peer's
// close ends a wait at once; the peer of an ordinary connection belongs to this user; a refused connection is an
// error with its errno; a peer that never reads stalls writes until the deadline.
TYPED_TEST(PlatformConformance, StreamsKeepTheirStatesAndResults) {
    auto bytes = [](const std::string& text) { return reinterpret_cast<const std::uint8_t*>(text.data()); };
    auto connect = [&](int port, bool opens) {
        StreamPair streams = this->platform().streamsToHost("127.0.0.1", port);
        streams.input->open();
        streams.output->open();
        EXPECT_EQ(streams.output->waitUntilOpen(this->platform().monotonicNow() + 2s), opens);
        return streams;
    };
    int port = this->peer([](const std::string& line) {
        if (line == "SPLIT") return PeerAnswer{{{0ms, "PO"}, {200ms, "NG\n"}}, true};
        if (line == "CLOSE") return PeerAnswer{{{50ms, ""}}, true};
        return PeerAnswer::text("PONG\n");
    });
    for (const auto& [request, answer] : std::vector<std::pair<std::string, std::string>>{{"PING\n", "PONG\n"}, {"SPLIT\n", "PO"}, {"CLOSE\n", ""}}) {
        StreamPair streams = connect(port, true);
        EXPECT_EQ(streams.output->peerUserId(), this->platform().userId());
        streams.output->write(bytes(request), request.size());
        MonotonicTime before = this->platform().monotonicNow();
        std::uint8_t buffer[64];
        // The bytes or the close end the wait, never the deadline: far enough that no load comes near it.
        ssize_t n = streams.input->waitForBytes(before + 60s) ? streams.input->read(buffer, sizeof buffer) : 0;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(std::max<ssize_t>(n, 0))), answer);
        EXPECT_LT(this->platform().monotonicNow() - before, 30s) << request;
    }

    StreamPair refused = connect(this->unavailable(simulation::Availability::refusing), false);
    EXPECT_EQ(refused.output->status(), StreamStatus::error);
    EXPECT_EQ(refused.output->errorNumber(), ECONNREFUSED);
    EXPECT_EQ(refused.output->write(bytes("PING\n"), 5), -1);

    StreamPair stalled = connect(this->unavailable(simulation::Availability::acceptsButNeverReads), true);
    std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 4096 && stalled.output->write(bytes(chunk), chunk.size()) > 0; ++i) {}  // up to 256 MiB
    MonotonicTime before = this->platform().monotonicNow();
    EXPECT_FALSE(stalled.output->waitUntilWritable(before + 100ms));
    EXPECT_GE(this->platform().monotonicNow() - before, 100ms);
}

// What only the real platform has.

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
        // The stranger: nobody, listening on a free loopback port; it reports the port, then the bytes its client
        // sent until it closed the connection (waiting 2 s at most for the client, and for each read).
        auto report = [&](long value) { (void)!::write(toParent[1], &value, sizeof value); };
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) report(-1), ::_exit(0);
        int port = 0, listener = listenOnLoopback(0, false, port, "the stranger");
        timeval timeout{2, 0};  // the accepted connection inherits it
        ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        report(port);
        long received = 0;
        char buffer[256];
        int client = ::accept(listener, nullptr, nullptr);
        for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, 0)) > 0;) received += n;
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
