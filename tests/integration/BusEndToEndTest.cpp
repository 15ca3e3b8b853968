// Status-change notifications across processes on a private session bus: the stand-in and the extension in one
// process, the poster in another (this test, the stand-in's own `post`, or gdbus).
#include "LoopbackPeer.h"
#include "TraceProcess.h"
#include "platform/posix/SessionBusNotificationCenter.h"
#include "protocol/Wire.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<nlohmann::json>;

bool hasBadge(const Lines& lines, const std::string& path, const std::string& badge, std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].value("call", "") == "setBadgeIdentifier" && lines[i].value("path", "") == path && lines[i].value("badge", "") == badge) return true;
    }
    return false;
}

// A sync folder with a few files, a scripted service for it, and the stand-in showing it with every badge set.
class BusEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) GTEST_SKIP() << "no session bus";
        root = std::filesystem::temp_directory_path() / ("vantorix-bus-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root);
        for (int i = 0; i < 5; ++i) {
            files.push_back((root / ("file" + std::to_string(i) + ".txt")).string());
            std::ofstream(files.back()) << i;
        }
        peer = std::make_unique<LoopbackPeer>([this](const std::string& line) { return answer(line); }, 27835);
        trace = std::make_unique<TraceProcess>(VANTORIX_FINDER_PATH);
        trace->send("show " + root.string());
        ASSERT_TRUE(trace->waitFor([&](const Lines& lines) {
            for (const auto& file : files) {
                if (!hasBadge(lines, file, "success")) return false;
            }
            return true;
        }, 20s));
    }

    void TearDown() override {
        if (trace) {
            trace->send("quit");
            EXPECT_EQ(trace->waitForExit(10s), 0);
        }
        trace.reset();
        peer.reset();
        std::filesystem::remove_all(root);
    }

    PeerAnswer answer(const std::string& line) {
        if (line == "PING") return PeerAnswer::text("PONG\n");
        if (line == "GET_SYNC_PATH") return PeerAnswer::text(root.string() + "\n");
        if (line.rfind("BATCH_STATUS:", 0) != 0) return PeerAnswer::text("ERROR: unknown\n");
        std::lock_guard lock(mutex);
        std::string paths = line.substr(13);
        std::vector<std::string> codes;
        for (const auto& path : splitOnSeparator(paths)) codes.push_back(statuses.count(path) ? statuses[path] : std::string("0"));
        if (onBatch) onBatch(paths);
        return PeerAnswer::text(joinPaths(codes) + "\n");
    }

    // The BATCH_STATUS requests carrying exactly `path` alone.
    int aloneRequests(const std::string& path) {
        int count = 0;
        for (const auto& request : peer->requests()) count += request == "BATCH_STATUS:" + path;
        return count;
    }

    std::filesystem::path root;
    std::vector<std::string> files;
    std::mutex mutex;
    std::map<std::string, std::string> statuses;
    std::function<void(const std::string&)> onBatch;
    std::unique_ptr<LoopbackPeer> peer;
    std::unique_ptr<TraceProcess> trace;
};

// A direct update posted by the stand-in is shown before its one confirming request; the same payloads from
// gdbus (nested variants too) or from another process are accepted alike, wrong types ignored whole; a flood with
// malformed notifications never blocks the file manager.
TEST_F(BusEndToEnd, NotificationsFromAnySenderAreShownAndConfirmedAndAFloodBlocksNothing) {
    std::atomic<int> confirmedBeforeShown{0};
    {
        std::lock_guard lock(mutex);
        statuses[files[2]] = "3";
        onBatch = [&](const std::string& paths) {
            if (paths == files[2] && !trace->waitFor([&](const Lines& lines) { return hasBadge(lines, files[2], "error"); }, 1s)) ++confirmedBeforeShown;
        };
    }
    trace->send("post VantorixStatusChanged {\"paths\":[\"/x\"],\"sync_state\":[{\"path\":\"" + files[2] + "\",\"state\":\"3\"}]}");
    ASSERT_TRUE(trace->waitFor([&](const Lines&) { return aloneRequests(files[2]) == 1; }, 5s));
    EXPECT_EQ(confirmedBeforeShown, 0);
    EXPECT_EQ(aloneRequests("/x"), 0);  // "paths" is not asked for when states come along

    auto emit = [](const std::string& name, const std::string& userInfo) {
        std::string command = "gdbus emit --session --object-path /com/vantorix/DistributedNotificationCenter --signal "
                              "com.vantorix.DistributedNotificationCenter.Notification '" + name + "' '' \"" + userInfo + "\" >/dev/null";
        return std::system(command.c_str());
    };
    if (std::system("command -v gdbus >/dev/null 2>&1") == 0) {
        ASSERT_EQ(emit("VantorixSharedStatusChanged", "{'paths': <['" + files[1] + "']>}"), 0);
        EXPECT_TRUE(trace->waitFor([&](const Lines&) { return aloneRequests(files[1]) == 1; }, 5s));
        {
            std::lock_guard lock(mutex);
            statuses[files[4]] = "7";
        }
        ASSERT_EQ(emit("VantorixStatusChanged", "{'paths': <@as []>, 'sync_state': <[{'path': <'" + files[4] + "'>, 'state': <'7'>}]>, 'priority': <true>}"), 0);
        EXPECT_TRUE(trace->waitFor([&](const Lines& lines) { return hasBadge(lines, files[4], "shared"); }, 5s));
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
    std::size_t before = trace->lines().size();
    trace->send("request /nowhere/probe");
    EXPECT_TRUE(trace->waitFor([&](const Lines& lines) { return hasBadge(lines, "/nowhere/probe", "", before); }, 5s));
}

}  // namespace
}  // namespace vantorix::testing
