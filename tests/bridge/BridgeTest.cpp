// The host bridge, whose parts a host module links in: the lines of the session service as the bridge cuts them,
// the badges it keeps, its connection to the service and the one object of a module, the last two on a fake event
// loop in virtual time against a session service the test plays on its real UNIX socket.
#include "ChildProcess.h"
#include "EventLoop.h"
#include "HostBridge.h"
#include "ServiceSocket.h"
#include "protocol/HostWire.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <ranges>
#include <string>
#include <vector>

namespace vantorix::bridge::testing {
namespace {

// The lines of the session service as the bridge cuts them: whole lines across reads, over-long lines and a last
// line without its line feed dropped whole and counted once.
std::vector<std::string> drain(LineBuffer& buffer) {
    std::vector<std::string> lines;
    for (std::string line; buffer.next(line);) lines.push_back(line);
    return lines;
}

TEST(LineBuffer, CutsLinesAcrossReadsAndDropsOverLongAndUnfinishedOnesWhole) {
    LineBuffer buffer;
    buffer.append("{\"a\":1}\n\n{\"b\"");
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"{\"a\":1}", ""}));
    EXPECT_EQ(buffer.pending(), 4u);
    buffer.append(":2}\nrest");
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"{\"b\":2}"}));

    // Over the limit by one byte, arriving in pieces: dropped with its end, counted once, and the next line whole.
    std::string longest(LineBuffer::kLongestLine, 'x');
    buffer.append(longest);
    EXPECT_TRUE(drain(buffer).empty());
    buffer.append(longest);
    EXPECT_TRUE(drain(buffer).empty());
    EXPECT_LT(buffer.pending(), 2 * LineBuffer::kLongestLine) << "an over-long line is not held";
    buffer.append("tail\nnext\n");
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"next"}));
    EXPECT_EQ(buffer.droppedLines(), 1u);
    // Exactly at the limit is a line; one byte over in a single read is not.
    buffer.append(longest + "\n" + longest + "y\nlast\n");
    auto lines = drain(buffer);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), LineBuffer::kLongestLine);
    EXPECT_EQ(lines[1], "last");
    EXPECT_EQ(buffer.droppedLines(), 2u);
    EXPECT_LE(buffer.room(), LineBuffer::kKeptRoom) << "every line delivered: the burst's memory is given back";

    // The stream ends: a partial line is dropped and counted; none held, nothing counted. (That it is never handed
    // over and nothing stays held: the bridge_lines fuzz target, on its seed that ends in the middle of a line.)
    buffer.append("half");
    EXPECT_TRUE(buffer.finish());
    EXPECT_FALSE(buffer.finish());
    EXPECT_EQ(buffer.droppedLines(), 3u);
}

// What a host module knows of the badges: only items inside the observed set keep one, and the module asks for an
// item itself once per observed set, only where the service does not list the item's folder.
TEST(BadgeBoard, KeepsBadgesInsideTheObservedSetAndRequestsEachItemOncePerSet) {
    BadgeBoard board;
    board.setBadge("/r/a", "sync");
    EXPECT_EQ(board.badgeOf("/r/a"), "") << "outside the observed set";
    board.setObserved({"/r"});
    EXPECT_FALSE(board.isInsideObserved("/rx/a"));  // (the folder itself and all below it: the badges kept below)
    board.setBadge("/r/a", "sync");
    board.setBadge("/r/d/e", "error");
    board.setBadge("/r/b", "shared");
    board.setBadge("/r/b", "");
    EXPECT_EQ(board.badgeOf("/r/a"), "sync");
    EXPECT_EQ(board.badgeOf("/r/b"), "");

    // A request once per item, never for a listed folder, a path a command line cannot carry, or outside the set.
    EXPECT_FALSE(board.takeRequest("/r/a", true));
    EXPECT_TRUE(board.takeRequest("/r/d/e", false));  // (asked twice, once requested: HostBridgeTest)
    EXPECT_FALSE(board.takeRequest("/r/new\nline", false));
    EXPECT_FALSE(board.takeRequest("/elsewhere/x", false));
    EXPECT_EQ(board.takeRequested(), std::vector<std::string>{"/r/d/e"});
    EXPECT_TRUE(board.takeRequest("/r/d/e", false)) << "asked for again once taken back";

    // The end of a folder's observation forgets its entries only; a new set forgets what lies outside it and the
    // requests made.
    board.forgetEntriesOf("/r/d");
    EXPECT_EQ(board.badgeOf("/r/d/e"), "");
    EXPECT_EQ(board.badgeOf("/r/a"), "sync");
    board.setBadge("/r/d/e", "error");
    board.setBadge("/r/d", "sync");
    board.setObserved({"/r/d"});
    EXPECT_EQ(board.badgeOf("/r/a"), "");
    EXPECT_EQ(board.badgeOf("/r/d/e"), "error");
    EXPECT_EQ(board.badgeOf("/r/d"), "sync") << "an observed folder keeps its badge as an entry of the folder outside";
    EXPECT_TRUE(board.takeRequest("/r/d/e", false));
    board.forgetAll();
    EXPECT_EQ(board.badgeOf("/r/d/e"), "");
    EXPECT_TRUE(board.observed().empty());
}

// FakeEventLoop: timeouts fall due on a virtual clock that only the test moves, or a callback that stands for work
// taking time (work()); descriptors are real and polled without waiting. One dispatch runs the due timeouts and
// the ready watches, or, when there are none, the idle callbacks: idle work yields to everything else, as in GLib
// and Qt. When nothing is ready the clock jumps to the next timeout. Every run has a step limit.
class FakeEventLoop final : public EventLoop {
public:
    struct ServiceStart {
        std::int64_t at;
        std::function<void(bool, const std::string&)> done;
    };

    SourceId idle(Callback callback) override { return add({0, 0, -1, 0, std::move(callback)}); }
    SourceId timeout(unsigned milliseconds, Callback callback) override {
        std::int64_t interval = std::int64_t{milliseconds} * 1000;
        return add({now_ + interval, interval, -1, 0, std::move(callback)});
    }
    SourceId watch(int fd, int readiness, Callback callback) override { return add({0, 0, fd, readiness, std::move(callback)}); }
    void remove(SourceId source) override { sources_.erase(source); }
    void startService(const std::string&, std::function<void(bool, const std::string&)> done) override { starts.push_back({now_, std::move(done)}); }
    void log(LogLevel level, const std::string& message) override {
        logged += std::string(level == LogLevel::warning ? "warning: " : level == LogLevel::info ? "info: " : "debug: ") + message + "\n";
    }
    std::int64_t nowMicroseconds() const override { return now_; }

    // A piece of work inside a callback: it takes workCost of virtual time and counts for the callback it is in.
    void work() {
        ++workPerCallback_[dispatches_];
        now_ += workCost;
    }
    // The most pieces of work one callback did.
    int mostWorkInOneCallback() const { return workPerCallback_.empty() ? 0 : std::ranges::max(workPerCallback_ | std::views::values); }
    std::int64_t nowMs() const { return now_ / 1000; }
    std::size_t sourceCount() const { return sources_.size(); }

    // Dispatches until `milliseconds` of virtual time have passed, or `until` holds; whether it holds.
    bool runFor(unsigned milliseconds, const std::function<bool()>& until = nullptr) {
        std::int64_t end = now_ + std::int64_t{milliseconds} * 1000;
        for (int steps = 0; steps < 100000; ++steps) {
            if (until && until()) return true;
            if (dispatch()) continue;
            std::int64_t next = end;
            for (const auto& [id, source] : sources_) {
                if (source.fd < 0 && source.interval > 0) next = std::min(next, source.due);
            }
            if (next <= now_ && now_ >= end) return until && until();
            now_ = std::max(now_, next);
        }
        ADD_FAILURE() << "the loop never went idle (step limit)";
        return false;
    }

    std::string logged;  // every line with its level first ("warning: ...")
    std::vector<ServiceStart> starts;  // the bus asked to start the service, not answered yet
    std::int64_t workCost = 0;  // microseconds

private:
    struct Source {
        std::int64_t due, interval;  // a timeout: when it is due, and again every interval
        int fd, readiness;           // a watch: its descriptor and readiness
        Callback callback;           // neither: an idle callback
    };
    SourceId add(Source source) {
        sources_.emplace(++last_, std::move(source));
        return last_;
    }
    bool ready(const Source& source) const {
        if (source.fd >= 0) {
            pollfd polled{source.fd, static_cast<short>(((source.readiness & readable) ? POLLIN : 0) | ((source.readiness & writable) ? POLLOUT : 0)), 0};
            return ::poll(&polled, 1, 0) > 0;
        }
        return source.interval > 0 && source.due <= now_;
    }
    bool dispatch() {
        std::vector<SourceId> chosen;
        for (const auto& [id, source] : sources_) {
            if (ready(source)) chosen.push_back(id);
        }
        if (chosen.empty()) {
            for (const auto& [id, source] : sources_) {
                if (source.fd < 0 && source.interval == 0) chosen.push_back(id);
            }
        }
        for (SourceId id : chosen) {
            auto found = sources_.find(id);
            if (found == sources_.end()) continue;  // removed by a callback before it
            ++dispatches_;
            Callback callback = found->second.callback;
            bool again = callback();
            found = sources_.find(id);
            if (found == sources_.end()) continue;
            if (!again) sources_.erase(found);
            else if (found->second.interval > 0) found->second.due = now_ + found->second.interval;
        }
        return !chosen.empty();
    }

    std::int64_t now_ = 1000000;
    SourceId last_ = 0;
    std::uint64_t dispatches_ = 0;  // callbacks run
    std::map<SourceId, Source> sources_;
    std::map<std::uint64_t, int> workPerCallback_;
};

// The session service's side of the socket, in a runtime folder of the test's own: claims the service's socket
// when asked, accepts, says what the test tells it and reads the commands it is sent.
class FakeService {
public:
    ~FakeService() { hangUp(); }
    void listen() { ASSERT_EQ(socket_.claim(runtime), session::ServiceSocket::Claim::listening) << socket_.error(); }
    // Takes the host's connection; whether there was one.
    bool accept() {
        hangUp();
        host_ = ::accept4(socket_.listeningFd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        return host_ >= 0;
    }
    void say(const std::string& bytes) { ASSERT_EQ(::send(host_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    void hello(int protocol = host::kProtocolVersion) { say("{\"t\":0,\"call\":\"hello\",\"protocol\":" + std::to_string(protocol) + ",\"pid\":42}\n"); }
    // The commands received since the last call.
    std::string commands() {
        std::string got;
        char buffer[4096];
        for (ssize_t n; host_ >= 0 && (n = ::recv(host_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
        return got;
    }
    void hangUp() {
        if (host_ >= 0) ::close(std::exchange(host_, -1));
    }

    vantorix::testing::TemporaryFolder folder{"vantorix-bridge"};
    const std::string runtime = folder.path;

private:
    session::ServiceSocket socket_;  // let go before the folder goes
    int host_ = -1;
};

// A host module's connection to the session service, on the fake loop in virtual time: the back-off while no
// service can be reached, the hello and its protocol, lines handed over in slices, the end of a connection.
class ServiceLinkTest : public ::testing::Test {
protected:
    ServiceLinkTest() {
        link = std::make_unique<ServiceLink>(loop, service.runtime, "files",
                                             ServiceLink::Handlers{[this] { ++joined; }, [this](const std::string& line) { onLine(line); }, [this] { ++ended; }}, meter);
    }
    void onLine(const std::string& line) {
        lines.push_back(line);
        loop.work();
    }

    FakeEventLoop loop;
    FakeService service;
    HoldMeter meter;
    std::unique_ptr<ServiceLink> link;
    std::vector<std::string> lines;
    int joined = 0, ended = 0;
};

TEST_F(ServiceLinkTest, BacksOffFromAQuarterSecondDoublingToThirtyAndAtOnceAfterAConnectionThatLasted) {
    link->start();
    std::vector<std::int64_t> gaps;  // between the bus's requests to start the service, each refused
    for (std::int64_t last = -1; gaps.size() < 8;) {
        ASSERT_TRUE(loop.runFor(60000, [&] { return !loop.starts.empty(); }));
        auto start = std::move(loop.starts.front());
        loop.starts.clear();
        if (last >= 0) gaps.push_back((start.at - last) / 1000);
        last = start.at;
        start.done(false, "no such name");
    }
    EXPECT_EQ(gaps, (std::vector<std::int64_t>{250, 500, 1000, 2000, 4000, 8000, 16000, 30000}));
    EXPECT_NE(loop.logged.find("warning: the session bus could not start the Vantorix extension service: no such name"), std::string::npos)
        << loop.logged;
    EXPECT_EQ(loop.logged.find("could not start", loop.logged.find("no such name") + 1), std::string::npos) << "logged once, not at every retry";

    // The bus starts the service: it listens, the next attempt joins, and the log says so, as routine news a file
    // manager's log shows only when asked.
    ASSERT_TRUE(loop.runFor(60000, [&] { return !loop.starts.empty(); }));
    service.listen();
    loop.starts.front().done(true, "");
    loop.starts.clear();
    ASSERT_TRUE(loop.runFor(30000, [&] { return service.accept(); }));
    service.hello();
    ASSERT_TRUE(loop.runFor(10, [&] { return link->isJoined(); }));
    EXPECT_EQ(joined, 1);
    EXPECT_EQ(link->servicePid(), 42);
    EXPECT_NE(loop.logged.find("info: joined the Vantorix extension service (pid 42)"), std::string::npos) << loop.logged;

    // A connection that lasted 10 s ends: connecting again at once. One that ended sooner: after the back-off.
    for (auto [lasted, wait] : {std::pair{10000u, 0}, {9000u, 250}}) {
        loop.runFor(lasted);
        service.hangUp();
        std::int64_t hungUp = loop.nowMs();
        ASSERT_TRUE(loop.runFor(1000, [&] { return service.accept(); }));
        EXPECT_EQ(loop.nowMs() - hungUp, wait) << "after a connection of " << lasted << " ms";
        service.hello();
        ASSERT_TRUE(loop.runFor(10, [&] { return link->isJoined(); }));
    }
    EXPECT_EQ(ended, 2);

    link.reset();
    EXPECT_EQ(loop.sourceCount(), 0u) << "the link leaves nothing on the loop";
}

TEST_F(ServiceLinkTest, OnlyAServiceThatSaysHelloInItsProtocolIsListenedToAndItsLinesComeInSlices) {
    service.listen();
    link->start();
    // A first line that is no hello: closed, and nothing handed over.
    ASSERT_TRUE(loop.runFor(100, [&] { return service.accept(); }));
    service.say("{\"t\":1,\"call\":\"setDirectoryURLs\",\"urls\":[]}\nhello\n");
    loop.runFor(200);
    EXPECT_NE(loop.logged.find("the service's first line is no hello: {\"t\":1,\"call\":\"setDirectoryURLs\""), std::string::npos) << loop.logged;
    // No hello at all within 5 s: closed.
    ASSERT_TRUE(loop.runFor(1000, [&] { return service.accept(); }));
    loop.runFor(4999);
    EXPECT_EQ(loop.logged.find("no hello within 5 s"), std::string::npos);
    loop.runFor(1);
    EXPECT_NE(loop.logged.find("the service said no hello within 5 s"), std::string::npos);
    // Another protocol (a service of the version before): logged with what to do, and the next attempt only after
    // the longest back-off.
    ASSERT_TRUE(loop.runFor(5000, [&] { return service.accept(); }));
    service.hello(1);
    service.say("{\"t\":1,\"call\":\"setDirectoryURLs\",\"urls\":[]}\n");
    loop.runFor(10);
    std::int64_t refused = loop.nowMs();
    EXPECT_NE(loop.logged.find("warning: the Vantorix extension service speaks protocol 1 and this files module protocol 2: no badges until "
                               "files is restarted"),
              std::string::npos);
    ASSERT_TRUE(loop.runFor(40000, [&] { return service.accept(); }));
    EXPECT_GE(loop.nowMs() - refused, 29990);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(joined, 0);
    EXPECT_EQ(ended, 0);
    // The right hello: the lines after it, garbage included (the bridge judges them), handed over in slices. Each
    // line takes 1 ms: three fit in a slice of 3 ms, and the rest waits for the next callback. The connection ends
    // in the middle of a line: that line is dropped. (Commands going out once joined: HostBridgeTest's first.)
    loop.workCost = 1000;
    std::string burst = "one\n";
    for (int i = 0; i < 20; ++i) burst += "{\"t\":" + std::to_string(i) + "}\n";
    service.hello();
    service.say(burst + "{\"t\":99,\"call\":\"unfin");
    service.hangUp();
    ASSERT_TRUE(loop.runFor(100, [&] { return ended == 1; }));
    EXPECT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines.front(), "one");
    EXPECT_EQ(lines.back(), "{\"t\":19}");
    EXPECT_EQ(loop.mostWorkInOneCallback(), 3);  // and so the 20 over seven callbacks at least
    EXPECT_EQ(link->droppedLines(), 1u);
    EXPECT_NE(loop.logged.find("ended in the middle of a line"), std::string::npos);
}

// The one object of a host module, on the fake loop in virtual time with a file manager's items played by the test:
// the observed set and the refresh of a repainted folder, the module's own requests, invalidations in
// slices, and what the end of a connection forgets.
// The items the file manager holds, each with the badge of the emblem it was last given.
class FakeItems final : public HostItems {
public:
    explicit FakeItems(FakeEventLoop& loop) : loop_(loop) {}
    bool invalidate(const std::string& path) override {
        invalidated.push_back(path);
        loop_.work();
        return held.count(path) > 0;
    }
    bool showsOtherThan(const std::string& path, const std::string& badge) const override {
        auto found = held.find(path);
        return found != held.end() && found->second != badge;
    }
    std::vector<std::string> pathsAfter(const std::string& after, std::size_t most) const override {
        return bridge::pathsAfter(held, after, most);
    }
    std::size_t size() const override { return held.size(); }

    std::map<std::string, std::string> held;
    std::vector<std::string> invalidated;

private:
    FakeEventLoop& loop_;
};

class HostBridgeTest : public ::testing::Test {
protected:
    HostBridgeTest() {
        service.listen();
        bridge = std::make_unique<HostBridge>(loop, items, BridgeSettings{"files", service.runtime, "", ""});
        // A process that shows no folder (it serves other programs' file dialogs) neither joins nor starts a service.
        EXPECT_EQ(bridge->badgeFor("/r/a"), "");
        loop.runFor(5000);
        EXPECT_TRUE(!service.accept() && loop.starts.empty()) << "joined before a folder was shown";
        bridge->setShownFolders({"/r"});
        EXPECT_TRUE(loop.runFor(100, [&] { return service.accept(); }));
        service.hello();
        loop.runFor(10);
        EXPECT_EQ(service.commands(), host::commandLine(host::CommandKind::show, "/r")) << "the shown folders, once joined";
    }
    // The service's lines, handled at the current virtual time.
    void says(const std::string& lines) {
        service.say(lines);
        loop.runFor(0);
    }
    static std::string observed(std::vector<std::string> folders) { return host::writeLine(host::observedCall(std::move(folders)), std::chrono::seconds(1)); }
    static std::string badge(const std::string& path, const std::string& badge) { return host::writeLine(host::badgeCall(path, badge), std::chrono::seconds(1)); }

    FakeEventLoop loop;
    FakeService service;
    FakeItems items{loop};
    std::unique_ptr<HostBridge> bridge;
};

TEST_F(HostBridgeTest, TheObservedSetCountsAtOnceARefreshAsksAgainAndRequestsGoOutOnceAfterTheirDelay) {
    items.held = {{"/r/a", ""}, {"/r/d/x", ""}};
    says(observed({"/r"}) + badge("/r/a", "sync") + badge("/elsewhere/b", "error"));
    EXPECT_EQ(bridge->badgeFor("/r/a"), "sync");
    EXPECT_EQ(bridge->badgeFor("/elsewhere/b"), "");
    EXPECT_EQ(items.invalidated, (std::vector<std::string>{"/r/a", "/r/d/x"})) << "held without its emblem; to be requested";
    items.held["/r/a"] = "sync";

    // An item of a folder the service does not list is requested by the module, 0.2 s later and once.
    EXPECT_EQ(bridge->badgeFor("/r/d/x"), "");
    EXPECT_EQ(bridge->badgeFor("/r/d/x"), "");
    loop.runFor(199);
    EXPECT_EQ(service.commands(), "");
    loop.runFor(1);
    EXPECT_EQ(service.commands(), host::commandLine(host::CommandKind::request, "/r/d/x"));

    // The extension repaints, and the service says refresh: no emblem goes, and the item the module asked for is
    // asked about again (to be requested again).
    items.invalidated.clear();
    says(host::writeLine(host::pathCall(host::Call::refresh, "/r"), std::chrono::seconds(1)));
    loop.runFor(10);
    EXPECT_EQ(bridge->badgeFor("/r/a"), "sync");
    EXPECT_EQ(items.invalidated, (std::vector<std::string>{"/r/d/x"}));

    // The set emptied: the badges outside it go at once (the service waited out any repaint).
    items.invalidated.clear();
    says(observed({}));
    EXPECT_EQ(bridge->badgeFor("/r/a"), "");
    EXPECT_EQ(items.invalidated, (std::vector<std::string>{"/r/a"}));
}

TEST_F(HostBridgeTest, GarbageIsDroppedAndTheEndOfTheConnectionTakesEveryEmblemInSlices) {
    says(observed({"/r"}));
    for (int i = 0; i < 70; ++i) {  // more than the sweep takes from the host at a time
        std::string path = "/r/f" + std::to_string(i);
        items.held[path] = "error";
        says(badge(path, "error"));
    }
    says("not json\n[1]\n{\"t\":1,\"call\":\"setBadgeIdentifier\",\"badge\":7}\n{\"t\":1,\"call\":\"endObservingDirectory\"}\n" + badge("/r/f0", "sync"));
    EXPECT_EQ(bridge->badgeFor("/r/f0"), "sync") << "the line after the garbage";
    for (const char* problem : {"(not JSON; 1 so far): not json", "(not a JSON object; 2 so far)", "(setBadgeIdentifier without a badge or a file path; 3",
                                "(endObservingDirectory without a path; 4"}) {
        EXPECT_NE(loop.logged.find(problem), std::string::npos) << problem << "\n" << loop.logged;
    }

    // The service goes: every badge is forgotten, and the 70 items held with emblems are invalidated, three to a
    // slice when each takes a millisecond.
    items.invalidated.clear();
    loop.workCost = 1000;
    service.hangUp();
    loop.runFor(100);
    EXPECT_EQ(bridge->badgeFor("/r/f1"), "");
    EXPECT_EQ(items.invalidated.size(), 70u);
    EXPECT_EQ(loop.mostWorkInOneCallback(), 3);  // (each item before took no time: one to a callback)

    bridge.reset();
    EXPECT_EQ(loop.sourceCount(), 0u) << "the bridge leaves nothing on the loop";
}

}  // namespace
}  // namespace vantorix::bridge::testing
