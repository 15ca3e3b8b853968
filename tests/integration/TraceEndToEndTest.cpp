// The stand-in and the extension as one program, against a scripted local service on 127.0.0.1:27835.
#include "LoopbackPeer.h"
#include "ProcessInspection.h"
#include "TraceProcess.h"
#include "protocol/Wire.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

// The black-box interface at work: the seven badges registered in order, then a shown folder of 120 files
// badged from exchanges of 50, 50 and 20, the sync folder itself never badged; meanwhile the extension listens on
// no socket and writes no file. (Outages, stalls and recoveries of the real processes: the chaos soak.)
TEST(TraceEndToEnd, RegistersTheBadgesThenBadgesAShownFolderInBatchesOfFifty) {
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
    std::string registered;
    for (const auto& line : callsOf(lines, "setBadgeImage")) registered += line["badge"].get<std::string>() + "=" + line["label"].get<std::string>() + "/" + line["image"].get<std::string>() + " ";
    EXPECT_EQ(registered, "success=Synced/oi_success sync=Syncing/oi_sync error=Error/oi_error exclude=Excluded/oi_exclude "
                          "readonly=Read-only/oi_readonly shared=Shared/oi_shared company=Company/oi_company ");
    EXPECT_TRUE(lines[0]["t"].is_number());
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

}  // namespace
}  // namespace vantorix::testing
