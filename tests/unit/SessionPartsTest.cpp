// The session service's parts on the simulated platform: the file manager stand-in's rules against a scripted
// extension, then the sharing of one extension between hosts: the router runs the stand-in and the real extension
// against a scripted service, and each host's lines are read back as JSON. Last, a host's queue of lines against a
// real socket that takes them a little at a time.
#include "HostRouter.h"
#include "LineQueue.h"
#include "SimulationFixture.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace vantorix::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Json = nlohmann::json;
using HostId = session::HostRouter::HostId;

// Records the stand-in's calls into the extension.
struct RecordingExtension final : FinderSyncExtension {
    void requestBadgeIdentifier(const URL& url) override { calls.push_back("request " + url.path()); }
    void beginObservingDirectory(const URL& url) override { calls.push_back("begin " + url.path()); }
    void endObservingDirectory(const URL& url) override { calls.push_back("end " + url.path()); }
    std::vector<std::string> calls;
};

TEST(FileManagerModel, ObservesShownDirectoriesInsideTheObservedSet) {
    SimulatedPlatform platform;
    session::FileManagerModel model(platform, nullptr);
    auto extension = std::make_shared<RecordingExtension>();
    auto calls = [&] { return std::exchange(extension->calls, {}); };  // the calls since the last look
    model.attach(extension);
    platform.addDirectory("/S/d", {"b", "a"});

    model.show("/S/d");
    model.show("/T");  // outside the observed set: never observed
    model.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(calls(), ElementsAre("begin /S/d", "request /S/d/a", "request /S/d/b"));
    model.setBadgeIdentifier("error", URL::fileURL("/S/d/a"));
    EXPECT_EQ(model.badgeOf("/S/d/a"), "error");

    // The same set again changes nothing; an entry that appears is asked for at the next re-listing.
    model.setDirectoryURLs({URL::fileURL("/S")});
    platform.addDirectory("/S/d", {"b", "a", "c"});
    platform.advanceBy(1s);
    EXPECT_THAT(calls(), ElementsAre("request /S/d/c"));
    // An entry gone and one new at the same re-listing: the one forgotten, the other asked for, the rest kept.
    model.setBadgeIdentifier("success", URL::fileURL("/S/d/b"));
    platform.addDirectory("/S/d", {"c", "d", "b"});
    platform.advanceBy(1s);
    EXPECT_THAT(calls(), ElementsAre("request /S/d/d"));
    EXPECT_EQ(model.badgeOf("/S/d/a"), "");
    EXPECT_EQ(model.badgeOf("/S/d/b"), "success");

    // Removed and put back: observed anew, badges forgotten in between.
    model.setDirectoryURLs({});
    EXPECT_EQ(model.badgeOf("/S/d/b"), "");
    model.setDirectoryURLs({URL::fileURL("/S")});
    EXPECT_THAT(calls(), ElementsAre("end /S/d", "begin /S/d", "request /S/d/b", "request /S/d/c", "request /S/d/d"));

    // Hiding an observed directory ends its observation.
    model.hide("/S/d");
    platform.advanceBy(2s);
    EXPECT_THAT(calls(), ElementsAre("end /S/d"));
}

class HostRouterTest : public SimulationTest {
protected:
    HostRouterTest()
        : router(platform, [this](HostId host, std::string bytes) {
              for (std::size_t start = 0, end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
                  lines[host].push_back(Json::parse(bytes.substr(start, end - start)));
              }
          }) {
        platform.localService().setSyncPath("/S");
        platform.addDirectory("/S", {"d", "e"});
        platform.addDirectory("/S/d", {"b", "a"});
        platform.addDirectory("/S/e", {"x"});
        platform.setFinderSyncController(&router.model());
    }
    ~HostRouterTest() override { platform.setFinderSyncController(&platform.recordingFileManager()); }

    void run(HostId host, const std::string& line) {
        EXPECT_EQ(router.run(host, host::parseCommand(line)), "") << line;
        platform.runUntilIdle();
    }
    // The lines a host got since the last look, as "call path badge" strings; the observed set aside (the
    // extension repaints by emptying it and putting it back).
    std::vector<std::string> take(HostId host, bool observedSet = false) {
        std::vector<std::string> seen;
        for (const auto& line : std::exchange(lines[host], {})) {
            if (line["call"] == "setDirectoryURLs" && !observedSet) continue;
            std::string text = line["call"].get<std::string>();
            if (line.contains("path")) text += " " + line["path"].get<std::string>();
            if (line.contains("badge") && line["call"] != "setBadgeImage") text += " " + line["badge"].get<std::string>();
            seen.push_back(text);
        }
        return seen;
    }

    std::map<HostId, std::vector<Json>> lines;  // every host's lines not taken yet
    session::HostRouter router;
};

constexpr HostId A = 1, B = 2, Trace = 3;

TEST_F(HostRouterTest, HostsShareOneExtensionAndEachGetsTheLinesOfWhatItShowsOrAsks) {
    router.join(A, false, {100, "nautilus", 0});
    start();
    router.attach(extension);
    router.join(B, false, {200, "nemo", 0});
    platform.runUntilIdle();
    // Both have the badges registered (B, joined later, has them replayed), then the observed set; the first
    // server check's repaint has passed after 15 s.
    platform.advanceBy(15s);
    for (HostId host : {A, B}) {
        std::vector<std::string> seen = take(host, true);
        ASSERT_GE(seen.size(), 8u);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "setBadgeImage"), 7);
        EXPECT_EQ(seen[7], "setDirectoryURLs");
    }

    // A shows a folder: its lines go to A alone.
    platform.localService().setStatus("/S/d/b", "3");
    run(A, "show /S/d");
    platform.advanceBy(100ms);
    EXPECT_THAT(take(A), ElementsAre("beginObservingDirectory /S/d", "requestBadgeIdentifier /S/d/a", "requestBadgeIdentifier /S/d/b",
                                           "setBadgeIdentifier /S/d/a success", "setBadgeIdentifier /S/d/b error"));
    EXPECT_THAT(take(B), IsEmpty());

    // B shows the same folder: what is known is given at once, and the local service is asked nothing for it.
    std::size_t asked = askedPaths().count("/S/d/a");
    run(B, "show /S/d");
    EXPECT_THAT(take(B), ElementsAre("beginObservingDirectory /S/d", "setBadgeIdentifier /S/d/a success", "setBadgeIdentifier /S/d/b error"));
    EXPECT_EQ(askedPaths().count("/S/d/a"), asked);
    // Shown by two hosts, it is shown and polled once: one pass every 1.5 s. One host hiding it leaves it polled
    // for the other (the change below reaches A).
    EXPECT_THAT(router.model().shownDirectories(), ElementsAre("/S/d"));
    platform.advanceBy(15s);
    EXPECT_EQ(askedPaths().count("/S/d/a") - asked, 10u);
    run(B, "hide /S/d");
    EXPECT_THAT(take(B), ElementsAre("endObservingDirectory /S/d"));

    // A change reaches the host that shows the folder, not the one that left it.
    take(A);
    platform.localService().setStatus("/S/d/a", "7");
    platform.advanceBy(2s);
    EXPECT_THAT(take(A), ElementsAre("setBadgeIdentifier /S/d/a shared"));
    EXPECT_THAT(take(B), IsEmpty());

    // B asks about an item whose badge is known: it has it at once, then its lines as they come.
    run(B, "request /S/d/a");
    EXPECT_THAT(take(B), ElementsAre("setBadgeIdentifier /S/d/a shared", "requestBadgeIdentifier /S/d/a"));
    platform.localService().setStatus("/S/d/a", "0");
    platform.advanceBy(2s);
    EXPECT_THAT(take(B), ElementsAre("setBadgeIdentifier /S/d/a success"));

    // A leaves: the folder nobody shows is no longer shown, and its observation ends.
    take(A);
    router.leave(A);
    platform.runUntilIdle();
    EXPECT_THAT(router.model().shownDirectories(), IsEmpty());
    EXPECT_THAT(take(A), IsEmpty());
    ASSERT_EQ(router.hosts().size(), 1u);
    EXPECT_EQ(router.hosts()[0].program, "nemo");

    // A host given everything (trace mode's) sees every call, its own or not, and has nothing replayed.
    router.join(Trace, true);
    run(B, "show /S/e");
    platform.advanceBy(100ms);
    EXPECT_THAT(take(Trace), ElementsAre("beginObservingDirectory /S/e", "requestBadgeIdentifier /S/e/x", "setBadgeIdentifier /S/e/x success"));
    EXPECT_EQ(router.run(B, host::parseCommand("fly /S")), "unknown command \"fly\" (show, hide, request, post, status, wait, quit)");
}

// The extension repaints by emptying the observed set and putting it back half a second later: the hosts get one
// refresh line per folder instead, and a set that stays smaller once the window has passed; the trace host gets
// every set as it comes; a host joining is given the set the hosts were last given.
TEST_F(HostRouterTest, ARepaintReachesHostsAsOneRefreshAndALastingRemovalAfterTheWindow) {
    router.join(A, false, {100, "nautilus", 0});
    router.join(Trace, true);
    auto declare = [&](std::set<URL> urls) {
        router.model().setDirectoryURLs(urls);
        platform.runUntilIdle();
    };
    declare({URL::fileURL("/S")});
    EXPECT_THAT(take(A, true), ElementsAre("setDirectoryURLs"));
    take(Trace, true);
    declare({});
    platform.advanceBy(500ms);
    declare({URL::fileURL("/S")});
    platform.advanceBy(2s);
    EXPECT_THAT(take(A, true), ElementsAre("refresh /S"));
    EXPECT_THAT(take(Trace, true), ElementsAre("setDirectoryURLs", "setDirectoryURLs"));

    declare({});
    platform.advanceBy(999ms);
    EXPECT_THAT(take(A, true), IsEmpty());
    platform.advanceBy(1ms);
    ASSERT_EQ(lines[A].size(), 1u);
    EXPECT_TRUE(lines[A][0]["urls"].empty());
    router.join(B, false, {200, "nemo", 0});
    platform.runUntilIdle();
    ASSERT_FALSE(lines[B].empty());
    EXPECT_TRUE(lines[B].back()["urls"].empty());
}

// Bytes queued in appends of every size, from one byte to more than a piece, come out whole and in order however
// little the socket takes at a time; a peer gone is a failure, not an endless wait.
TEST(LineQueue, WritesEveryByteInOrderThroughASlowSocketAndReportsAPeerGone) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    int small = 4096;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    session::LineQueue queue;
    std::string queued, received;
    std::mt19937 random(7);
    for (std::size_t size : {std::size_t{1}, session::LineQueue::kPiece + 17, std::size_t{4096}, std::size_t{4097}, std::size_t{300000}}) {
        for (int round = 0; round < 3; ++round) {
            std::string bytes(size, ' ');
            for (char& byte : bytes) byte = static_cast<char>('a' + random() % 26);
            queue.append(bytes);
            queued += bytes;
        }
        for (char buffer[1000]; queue.size() > 0;) {  // the peer reads a little at a time
            ASSERT_EQ(queue.writeTo(ends[0]), 0);
            ssize_t got = ::read(ends[1], buffer, sizeof buffer);
            if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
        }
    }
    for (char buffer[4096]; received.size() < queued.size();) {
        ssize_t got = ::read(ends[1], buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        received.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(received, queued);
    ::close(ends[1]);
    queue.append("lost\n");
    EXPECT_EQ(queue.writeTo(ends[0]), EPIPE);
    ::close(ends[0]);
}

}  // namespace
}  // namespace vantorix::testing
