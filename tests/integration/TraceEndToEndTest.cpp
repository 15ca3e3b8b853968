// The stand-in and the extension as one program, against a scripted local service on 127.0.0.1:27835.
#include "ChildProcess.h"
#include "LoopbackPeer.h"
#include "OpenedByProcess.h"
#include "TraceProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace vantorix::testing {
namespace {

using namespace std::chrono_literals;
using Lines = TraceProcess::Lines;

Lines callsOf(const Lines& lines, const std::string& call) {
    Lines calls;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(calls), [&](const auto& line) { return line.value("call", "") == call; });
    return calls;
}

// The black-box interface at work: the seven badges registered in order, then a shown folder of 120 files
// badged, the sync folder itself never badged; meanwhile the extension listens on no socket and writes no file.
// (The batches of 50: the simulated status road. Outages, stalls and recoveries of the real processes: the chaos
// soak.)
TEST(TraceEndToEnd, RegistersTheBadgesThenBadgesAShownFolder) {
    TemporaryFolder folder("vantorix-e2e");  // a sync folder of 120 files, removed at the end
    const std::string root = folder.path;
    for (int i = 0; i < 120; ++i) std::ofstream(root + "/file" + std::to_string(1000 + i) + ".txt") << i;
    simulation::ScriptedLocalService service;  // a healthy local service: "0" for every path
    service.setSyncPath(root);
    LoopbackPeer peer(service, 27835);
    TraceProcess trace(VANTORIX_FINDER_PATH);
    trace.send("show " + root);
    ASSERT_TRUE(trace.waitFor([&](const Lines& lines) {
        std::set<std::string> badged;
        for (const auto& line : callsOf(lines, "setBadgeIdentifier")) {
            if (line["badge"] == "success") badged.insert(line["path"].get<std::string>());
        }
        return badged.size() == 120;
    }, 20s));
    Lines lines = trace.lines();
    std::string registered;
    for (const auto& line : callsOf(lines, "setBadgeImage")) registered += line["badge"].get<std::string>() + "=" + line["label"].get<std::string>() + "/" + line["image"].get<std::string>() + " ";
    EXPECT_EQ(registered, "success=Synced/oi_success sync=Syncing/oi_sync error=Error/oi_error exclude=Excluded/oi_exclude "
                          "readonly=Read-only/oi_readonly shared=Shared/oi_shared company=Company/oi_company ");
    EXPECT_TRUE(lines[0]["t"].is_number());
    for (const auto& line : callsOf(lines, "setBadgeIdentifier")) EXPECT_NE(line["path"], root) << "the sync folder got a badge";
    EXPECT_EQ(callsOf(lines, "setDirectoryURLs").at(0)["urls"][0], "file://" + root);
    EXPECT_TRUE(listeningAddresses(trace.pid()).empty());
    EXPECT_EQ(filesOpenForWriting(trace.pid()), std::vector<std::string>{});
    trace.send("quit");
    EXPECT_EQ(trace.waitForExit(10s), 0);
}

}  // namespace
}  // namespace vantorix::testing
