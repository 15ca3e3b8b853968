// One conformance suite for both platforms: the guarantees the seam's headers give for queues, timers, the
// semaphore and streams, checked on the real platform (threads, sockets, real time) and on the simulated one
// (virtual time), so that the simulation earns its trust by passing what the real platform passes.
#include "Eventually.h"
#include "LoopbackPeer.h"
#include "platforms/posix/PosixPlatform.h"
#include "platforms/simulation/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <cerrno>

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

}  // namespace
}  // namespace vantorix::testing
