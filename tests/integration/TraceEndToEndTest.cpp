// The stand-in and the extension as one program, against a scripted local service on 127.0.0.1:27835.
#include "LoopbackPeer.h"
#include "ProcessInspection.h"
#include "TraceProcess.h"
#include "protocol/Wire.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <atomic>
#include <fstream>
#include <map>
#include <set>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<nlohmann::json>;

std::vector<nlohmann::json> callsOf(const Lines& lines, const std::string& call) {
    std::vector<nlohmann::json> selected;
    for (const auto& line : lines) {
        if (line.value("call", "") == call) selected.push_back(line);
    }
    return selected;
}

// A sync folder of `count` files in a fresh temporary folder.
class SyncFolder {
public:
    explicit SyncFolder(int count) {
        root = std::filesystem::temp_directory_path() / ("vantorix-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        std::filesystem::create_directories(root);
        for (int i = 0; i < count; ++i) std::ofstream(root / ("file" + std::to_string(1000 + i) + ".txt")) << i;
    }
    ~SyncFolder() { std::filesystem::remove_all(root); }
    std::string path() const { return root.string(); }

private:
    static inline int serial = 0;
    std::filesystem::path root;
};

// A healthy local service for `folder`: PONG, the folder, and "0" per path (or `code` for every path).
LoopbackPeer::Handler serviceFor(const std::string& folder, std::vector<std::size_t>* batchSizes = nullptr, std::mutex* mutex = nullptr) {
    return [folder, batchSizes, mutex](const std::string& line) {
        if (line == "PING") return PeerAnswer::text("PONG\n");
        if (line == "GET_SYNC_PATH") return PeerAnswer::text(folder + "\n");
        if (line.rfind("BATCH_STATUS:", 0) == 0) {
            std::size_t count = countPieces(std::string_view(line).substr(13));
            if (batchSizes != nullptr) {
                std::lock_guard lock(*mutex);
                batchSizes->push_back(count);
            }
            return PeerAnswer::text(joinPaths(std::vector<std::string>(count, "0")) + "\n");
        }
        return PeerAnswer::text("ERROR: unknown\n");
    };
}

TEST(TraceEndToEnd, RegistersTheSevenBadgesAndQuits) {
    TraceProcess trace(VANTORIX_FINDER_PATH);
    trace.send("quit");
    ASSERT_EQ(trace.waitForExit(10s), 0);
    auto images = callsOf(trace.lines(), "setBadgeImage");
    const std::vector<std::pair<std::string, std::string>> expected{{"success", "Synced"}, {"sync", "Syncing"},     {"error", "Error"},
                                                                    {"exclude", "Excluded"}, {"readonly", "Read-only"}, {"shared", "Shared"},
                                                                    {"company", "Company"}};
    ASSERT_EQ(images.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(images[i]["badge"], expected[i].first);
        EXPECT_EQ(images[i]["label"], expected[i].second);
        EXPECT_EQ(images[i]["image"], "oi_" + expected[i].first);
        EXPECT_TRUE(images[i]["t"].is_number());
    }
}

TEST(TraceEndToEnd, PingsAtStartAndStaysResponsiveWithoutAService) {
    {
        LoopbackPeer peer([](const std::string&) { return PeerAnswer::text("PONG\n"); }, 27835);
        TraceProcess trace(VANTORIX_FINDER_PATH);
        auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(trace.waitFor([&](const Lines&) { return !peer.requests().empty(); }, 10s));
        std::printf("first request after %.3f s: %s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                    peer.requests()[0].c_str());
        EXPECT_EQ(peer.requests()[0], "PING");
        trace.send("quit");
        EXPECT_EQ(trace.waitForExit(10s), 0);
    }
    // Nothing listens: requests are still answered at once (badges removed: no sync folder is known).
    TraceProcess trace(VANTORIX_FINDER_PATH);
    trace.send("request /tmp/a");
    trace.send("request /tmp/b");
    EXPECT_TRUE(trace.waitFor([](const Lines& lines) { return callsOf(lines, "setBadgeIdentifier").size() == 2; }, 10s));
    for (const auto& line : callsOf(trace.lines(), "setBadgeIdentifier")) EXPECT_EQ(line["badge"], "");
    trace.send("quit");
    EXPECT_EQ(trace.waitForExit(10s), 0);
}

TEST(TraceEndToEnd, AShownFolderGetsItsBadgesInBatchesOfFifty) {
    SyncFolder folder(120);
    std::mutex mutex;
    std::vector<std::size_t> batchSizes;
    LoopbackPeer peer(serviceFor(folder.path(), &batchSizes, &mutex), 27835);
    TraceProcess trace(VANTORIX_FINDER_PATH);
    trace.send("show " + folder.path());
    auto badged = [&](const Lines& lines) {
        std::set<std::string> paths;
        for (const auto& line : callsOf(lines, "setBadgeIdentifier")) {
            if (line["badge"] == "success") paths.insert(line["path"].get<std::string>());
        }
        return paths.size() == 120;
    };
    ASSERT_TRUE(trace.waitFor(badged, 20s));
    {
        std::lock_guard lock(mutex);
        ASSERT_GE(batchSizes.size(), 3u);
        EXPECT_EQ(std::vector<std::size_t>(batchSizes.begin(), batchSizes.begin() + 3), (std::vector<std::size_t>{50, 50, 20}));
    }
    auto lines = trace.lines();
    for (const auto& line : callsOf(lines, "setBadgeIdentifier")) EXPECT_NE(line["path"], folder.path()) << "the sync folder got a badge";
    auto directories = callsOf(lines, "setDirectoryURLs");
    ASSERT_FALSE(directories.empty());
    EXPECT_EQ(directories[0]["urls"][0], "file://" + folder.path());
    // The extension, at work, listens on no socket and writes no file.
    EXPECT_TRUE(listeningAddresses(trace.pid()).empty());
    EXPECT_EQ(filesOpenForWriting(trace.pid()), std::vector<std::string>{});
    trace.send("quit");
    EXPECT_EQ(trace.waitForExit(10s), 0);
}

TEST(TraceEndToEnd, BadgesFollowTheServiceThroughAnOutage) {
    SyncFolder folder(30);
    auto peer = std::make_unique<LoopbackPeer>(serviceFor(folder.path()), 27835);
    TraceProcess trace(VANTORIX_FINDER_PATH);
    trace.send("show " + folder.path());

    // The last badge each file got at or after line `from`.
    auto lastBadges = [](const Lines& lines, std::size_t from) {
        std::map<std::string, std::string> badges;
        for (std::size_t i = from; i < lines.size(); ++i) {
            if (lines[i].value("call", "") == "setBadgeIdentifier") badges[lines[i]["path"].get<std::string>()] = lines[i]["badge"];
        }
        return badges;
    };
    auto allAre = [&](std::size_t from, const std::string& badge) {
        return [&, from, badge](const Lines& lines) {
            auto badges = lastBadges(lines, from);
            int matching = 0;
            for (const auto& [path, shown] : badges) matching += path.rfind(folder.path() + "/", 0) == 0 && shown == badge;
            return matching == 30;
        };
    };
    ASSERT_TRUE(trace.waitFor(allAre(0, "success"), 20s));

    // A watchdog: while the service is away, the stand-in's own requests are still answered at once.
    std::atomic<bool> watching{true};
    std::atomic<int> unanswered{0};
    std::thread watchdog([&] {
        for (int n = 0; watching; ++n) {
            std::string path = "/nowhere/probe" + std::to_string(n);
            trace.send("request " + path);
            bool answered = trace.waitFor(
                [&](const Lines& lines) {
                    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
                        if (it->value("call", "") == "setBadgeIdentifier" && it->value("path", "") == path) return true;
                    }
                    return false;
                },
                2s);
            if (!answered) ++unanswered;
            std::this_thread::sleep_for(200ms);
        }
    });

    // The service stops: every badge of the folder is removed within 3 s.
    std::size_t stoppedAt = trace.lines().size();
    auto stopped = std::chrono::steady_clock::now();
    peer.reset();
    EXPECT_TRUE(trace.waitFor(allAre(stoppedAt, ""), 3s));
    std::printf("badges removed %.3f s after the stop\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count());

    // It comes back: every badge is set again within 6 s.
    std::this_thread::sleep_for(1s);
    std::size_t restartedAt = trace.lines().size();
    auto restarted = std::chrono::steady_clock::now();
    peer = std::make_unique<LoopbackPeer>(serviceFor(folder.path()), 27835);
    EXPECT_TRUE(trace.waitFor(allAre(restartedAt, "success"), 6s));
    std::printf("badges back %.3f s after the restart\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - restarted).count());

    watching = false;
    watchdog.join();
    EXPECT_EQ(unanswered, 0) << "the stand-in's requests went unanswered";
    trace.send("quit");
    EXPECT_EQ(trace.waitForExit(10s), 0);
}

}  // namespace
}  // namespace vantorix::testing
