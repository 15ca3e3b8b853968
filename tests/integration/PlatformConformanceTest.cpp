// One conformance suite for both platforms: the guarantees the seam's headers give for queues, timers, the
// semaphore and streams, checked on the real platform (threads, sockets, real time) and on the simulated one
// (virtual time), so that the simulation earns its trust by passing what the real platform passes.
#include "LoopbackPeer.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/simulation/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;

// The simulated platform: the test's thread is the main thread; time passes only when the test lets it.
class Simulated {
public:
    Platform& platform() { return platform_; }
    void letTimePass(Duration duration) { platform_.advanceBy(duration); }
    bool eventually(const std::function<bool()>& condition, Duration limit = 5s) { return platform_.runUntilCondition(condition, limit); }
    void onMain(const std::function<void()>& block) { block(); }
    int peer(const LoopbackPeer::Handler& handler) {
        platform_.localService().setHandler([handler](const std::string& line) {
            PeerAnswer answer = handler(line);
            simulation::Reply reply{{}, answer.close};
            for (auto& [delay, bytes] : answer.pieces) reply.pieces.push_back({delay, bytes});
            return reply;
        });
        return 27835;
    }
    int refusingPort() {
        platform_.localService().setAvailability(simulation::Availability::refusing);
        return 27835;
    }
    int peerThatNeverReads() {
        platform_.localService().setAvailability(simulation::Availability::acceptsButNeverReads);
        return 27835;
    }

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
    bool eventually(const std::function<bool()>& condition, Duration limit = 5s) {
        for (auto end = std::chrono::steady_clock::now() + limit; !condition();) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    void onMain(const std::function<void()>& block) { platform_.mainQueue().sync(block); }
    int peer(const LoopbackPeer::Handler& handler) {
        peer_ = std::make_unique<LoopbackPeer>(handler);
        return peer_->port();
    }
    int refusingPort() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        return ntohs(address.sin_port);
    }
    int peerThatNeverReads() {
        int port = peer([](const std::string&) { return PeerAnswer::silence(); });
        peer_->stopReading();
        return port;
    }

private:
    posix::PosixPlatform platform_{posix::PosixPlatform::Options{"", false}};
    std::thread mainThread_;
    std::unique_ptr<LoopbackPeer> peer_;
};

template <typename Harness>
class PlatformConformance : public ::testing::Test {
protected:
    Harness harness;
    Platform& platform = harness.platform();
};

using Platforms = ::testing::Types<Simulated, Real>;
TYPED_TEST_SUITE(PlatformConformance, Platforms);

// A serial queue runs its blocks one at a time in submission order, sync() after every earlier block; async()
// never runs its block before it returns; isCurrent() knows where it runs.
TYPED_TEST(PlatformConformance, QueuesRunInOrderOneAtATime) {
    auto queue = this->platform.makeSerialQueue("com.vantorix.test.serial", QualityOfService::defaultQoS);
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> done{0};
    for (int submitter = 0; submitter < 4; ++submitter) {
        this->platform.globalQueue(QualityOfService::userInitiated).async([&, submitter] {
            for (int i = 0; i < 50; ++i) {
                auto block = [&, submitter] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    order.push_back(submitter);  // safe only if blocks never overlap
                    inside.fetch_sub(1);
                };
                if (i % 10 == 0) queue->sync(block);
                else queue->async(block);
            }
            ++done;
        });
    }
    ASSERT_TRUE(this->harness.eventually([&] { return done == 4; }));
    std::size_t seen = 0;
    queue->sync([&] {
        seen = order.size();
        EXPECT_TRUE(queue->isCurrent());
    });
    EXPECT_EQ(seen, 200u);  // sync() came after every block submitted before it
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(queue->isCurrent());

    std::vector<int> mainOrder;
    this->harness.onMain([&] {
        EXPECT_TRUE(this->platform.mainQueue().isCurrent());
        this->platform.mainQueue().async([&] { mainOrder.push_back(2); });
        mainOrder.push_back(1);
    });
    ASSERT_TRUE(this->harness.eventually([&] {
        bool ran = false;
        this->harness.onMain([&] { ran = mainOrder.size() == 2; });
        return ran;
    }));
    EXPECT_EQ(mainOrder, (std::vector<int>{1, 2}));
}

// A sync() onto the queue the caller runs on is the deadlock it would be: the platform aborts naming the queue.
TYPED_TEST(PlatformConformance, SyncOntoTheRunningQueueAbortsNamingIt) {
    EXPECT_DEATH(
        {
            TypeParam harness;
            auto lock = harness.platform().makeSerialQueue("com.vantorix.waiting.mode.lock", QualityOfService::defaultQoS);
            lock->sync([&] { lock->sync([] {}); });
        },
        "com.vantorix.waiting.mode.lock");
}

// asyncAfter(d) never runs earlier than d; equal delays on one queue run in submission order.
TYPED_TEST(PlatformConformance, DelayedBlocksNeverRunEarly) {
    auto queue = this->platform.makeSerialQueue("com.vantorix.test.delayed", QualityOfService::defaultQoS);
    MonotonicTime submitted = this->platform.monotonicNow();
    std::vector<int> order;
    std::atomic<bool> early{false};
    std::atomic<int> ran{0};
    for (int i = 0; i < 3; ++i) {
        queue->asyncAfter(30ms, [&, i] {
            if (this->platform.monotonicNow() < submitted + 30ms) early = true;
            order.push_back(i);
            ++ran;
        });
    }
    this->platform.mainQueue().asyncAfter(20ms, [&] {
        if (this->platform.monotonicNow() < submitted + 20ms) early = true;
        ++ran;
    });
    ASSERT_TRUE(this->harness.eventually([&] { return ran == 4; }));
    EXPECT_FALSE(early);
    queue->sync([&] { EXPECT_EQ(order, (std::vector<int>{0, 1, 2})); });
}

// Timers are scheduled and fire on the main thread; a one-shot timer is spent when it fires; a repeating one
// fires until invalidated (also from its own action), and firings missed while the main thread was busy are
// skipped, not run in a burst.
TYPED_TEST(PlatformConformance, TimersFireOnTheMainThreadAndSkipMissedFirings) {
    std::atomic<int> oneShot{0}, repeating{0}, offMain{0};
    std::shared_ptr<Timer> once, every;
    this->harness.onMain([&] {
        once = this->platform.scheduleTimer(10ms, false, [&](Timer& timer) {
            ++oneShot;
            if (timer.isValid()) ++offMain;
        });
        every = this->platform.scheduleTimer(10ms, true, [&](Timer& timer) {
            if (!this->platform.mainQueue().isCurrent()) ++offMain;
            if (++repeating == 3) timer.invalidate();
        });
    });
    ASSERT_TRUE(this->harness.eventually([&] { return oneShot == 1 && repeating == 3; }));
    this->harness.letTimePass(50ms);
    EXPECT_EQ(oneShot, 1);
    EXPECT_EQ(repeating, 3);
    EXPECT_EQ(offMain, 0);
    EXPECT_FALSE(every->isValid());

    std::atomic<int> firings{0};
    std::atomic<bool> busyOver{false};
    std::shared_ptr<Timer> periodic;
    this->harness.onMain([&] {
        periodic = this->platform.scheduleTimer(100ms, true, [&](Timer&) { ++firings; });
        this->platform.mainQueue().async([&] {
            this->platform.sleep(350ms);  // the main thread is busy through three due firings
            busyOver = true;
        });
    });
    ASSERT_TRUE(this->harness.eventually([&] { return busyOver.load(); }));
    this->harness.letTimePass(30ms);
    EXPECT_EQ(firings, 1);  // one late firing for the three missed
    periodic->invalidate();
}

// wait() takes a unit, or returns false at its deadline; a past deadline does not wait; a signal from another
// thread releases a waiter.
TYPED_TEST(PlatformConformance, SemaphoreTakesAUnitOrReportsTheDeadline) {
    auto semaphore = this->platform.makeSemaphore(1);
    EXPECT_TRUE(semaphore->wait(this->platform.monotonicNow() + 1s));
    MonotonicTime before = this->platform.monotonicNow();
    EXPECT_FALSE(semaphore->wait(before + 20ms));
    EXPECT_GE(this->platform.monotonicNow() - before, 20ms);
    EXPECT_FALSE(semaphore->wait(this->platform.monotonicNow() - 1s));
    this->platform.globalQueue(QualityOfService::utility).asyncAfter(20ms, [&] { semaphore->signal(); });
    EXPECT_TRUE(semaphore->wait(this->platform.monotonicNow() + 10s));
}

// The client side of a connection: one read takes what has arrived; a peer that closes ends a wait at once;
// a refused connection is an error with its errno; a peer that never reads stalls writes until the deadline;
// the peer of an ordinary connection belongs to this user.
TYPED_TEST(PlatformConformance, StreamsKeepTheirStatesAndResults) {
    auto exchange = [&](int port, const std::string& request, std::string* answer) {
        StreamPair streams = this->platform.streamsToHost("127.0.0.1", port);
        streams.input->open();
        streams.output->open();
        EXPECT_TRUE(streams.output->waitUntilOpen(this->platform.monotonicNow() + 2s));
        EXPECT_EQ(streams.output->peerUserId(), this->platform.userId());
        streams.output->write(reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
        MonotonicTime before = this->platform.monotonicNow();
        if (streams.input->waitForBytes(before + 2s)) {
            std::uint8_t buffer[64];
            ssize_t n = streams.input->read(buffer, sizeof buffer);
            answer->assign(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return this->platform.monotonicNow() - before;
    };
    int port = this->harness.peer([](const std::string& line) {
        if (line == "SPLIT") return PeerAnswer{{{0ms, "PO"}, {200ms, "NG\n"}}, true};
        if (line == "CLOSE") return PeerAnswer{{{50ms, ""}}, true};
        return PeerAnswer::text("PONG\n");
    });
    std::string answer;
    exchange(port, "PING\n", &answer);
    EXPECT_EQ(answer, "PONG\n");
    answer.clear();
    exchange(port, "SPLIT\n", &answer);
    EXPECT_EQ(answer, "PO");
    answer.clear();
    EXPECT_LT(exchange(port, "CLOSE\n", &answer), 1s);  // not the whole 2 s: the close ends the wait
    EXPECT_EQ(answer, "");

    StreamPair refused = this->platform.streamsToHost("127.0.0.1", this->harness.refusingPort());
    refused.input->open();
    refused.output->open();
    EXPECT_FALSE(refused.output->waitUntilOpen(this->platform.monotonicNow() + 2s));
    EXPECT_EQ(refused.output->status(), StreamStatus::error);
    EXPECT_EQ(refused.output->errorNumber(), ECONNREFUSED);
    EXPECT_EQ(refused.output->write(reinterpret_cast<const std::uint8_t*>("PING\n"), 5), -1);

    StreamPair stalled = this->platform.streamsToHost("127.0.0.1", this->harness.peerThatNeverReads());
    stalled.input->open();
    stalled.output->open();
    ASSERT_TRUE(stalled.output->waitUntilOpen(this->platform.monotonicNow() + 2s));
    std::string chunk(64 * 1024, 'x');
    std::size_t accepted = 0;
    for (ssize_t n = 1; n > 0 && accepted < (256u << 20);) {
        n = stalled.output->write(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
        accepted += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
    MonotonicTime before = this->platform.monotonicNow();
    EXPECT_FALSE(stalled.output->waitUntilWritable(before + 100ms));
    EXPECT_GE(this->platform.monotonicNow() - before, 100ms);
}

}  // namespace
}  // namespace vantorix::testing
