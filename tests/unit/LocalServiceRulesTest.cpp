// The reference local service's answers and status rules, without sockets. How it assembles a request line
// from any pieces and which answers it refuses to keep within the client's read are checked by the replay of
// its fuzz target's seeds.
#include "ChildProcess.h"
#include "LocalService.h"
#include "RequestStats.h"
#include "StatusRules.h"
#include "platform/InProcessNotificationCenter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace vantorix::localservice {
namespace {

// The rules file: the last matching line wins, malformed lines are reported. The service over the same file answers
// each request and posts every change of a path it has been asked about.
TEST(LocalService, ItsRulesLastMatchingLineWinsAndItAnswersEachRequestAndPostsEveryChangeOfAKnownPath) {
    std::vector<std::string> problems;
    auto rules = parseStatusRules("# comment\n\n4 *.tmp\r\n7   Shared/*  \n9 nope\nx\n3\n1 /abs/*\n", problems);
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules[1].glob, "Shared/*");
    EXPECT_EQ(rules[2].glob, "/abs/*");
    EXPECT_EQ(problems.size(), 3u);
    EXPECT_NE(problems[0].find("line 5"), std::string::npos);

    vantorix::testing::TemporaryFolder folder("vantorix-service");
    std::string file = folder.path / "rules";
    std::ofstream(file) << "4 *.tmp\n7 Shared/*\n3 Shared/bad.tmp\n";
    StatusRules statuses("/R", file);
    EXPECT_EQ(statuses.statusOf("/R/a.txt"), "0");
    EXPECT_EQ(statuses.statusOf("/R/x/y.tmp"), "4");  // "*" spans folders
    EXPECT_EQ(statuses.statusOf("/R/Shared/doc"), "7");
    EXPECT_EQ(statuses.statusOf("/R/Shared/bad.tmp"), "3");
    EXPECT_EQ(statuses.statusOf("/R"), "4");           // the root itself and everything outside: excluded
    EXPECT_EQ(statuses.statusOf("/Rother/a"), "4");
    EXPECT_FALSE(statuses.reloadIfChanged());
    std::ofstream(file) << "5 *\n";  // a different size, so a change even within the same clock tick
    EXPECT_TRUE(statuses.reloadIfChanged());
    EXPECT_EQ(statuses.statusOf("/R/a.txt"), "5");

    std::ofstream(file) << "1 *.mov\n";
    InProcessNotificationCenter notifier;
    std::vector<Notification> posts;  // of the one name the extension listens to for changes
    notifier.addObserver(&posts, "VantorixStatusChanged", [&](const Notification& posted) { posts.push_back(posted); });
    LocalService service(StatusRules("/R", file), false, 1, &notifier);
    // (PONG and the folder, through the socket: the LocalServiceProtocol tests.) The batch makes its paths known.
    EXPECT_EQ(service.answer("BATCH_STATUS:/R/a||/R/b.mov|"), "0|1\n");
    EXPECT_EQ(service.answer("BATCH_STATUS:"), "\n");
    EXPECT_EQ(service.answer("ping"), "ERROR: unknown request\n");
    EXPECT_EQ(service.answer("\xff\xfe"), "ERROR: malformed request\n");

    std::vector<std::string> changes;  // what the benchmarks' record is told, path by path
    service.onChange([&](const std::string& path, const std::string& code) { changes.push_back(path + " " + code); });
    service.tick(LocalService::Clock::now());
    EXPECT_TRUE(posts.empty());
    std::ofstream(file) << "3 /R/a\n";
    service.tick(LocalService::Clock::now());
    std::sort(changes.begin(), changes.end());
    EXPECT_EQ(changes, (std::vector<std::string>{"/R/a 3", "/R/b.mov 0"}));
    ASSERT_EQ(posts.size(), 1u);
    const auto& info = *posts[0].userInfo->as<PropertyValue::Dictionary>();
    const auto& states = *info.at("sync_state").as<PropertyValue::Array>();
    ASSERT_EQ(states.size(), 2u);  // /R/a became an error; /R/b.mov is synced now
}

// The counts the benchmarks read from outside: requests by kind, the paths batches carried, and batch requests
// grouped in bursts (less than 0.5 s from one to the next); the file is written only when something changed.
TEST(RequestStats, CountsKindsPathsAndBurstsAndWritesOnlyChanges) {
    using namespace std::chrono_literals;
    RequestStats stats;
    RequestStats::Clock::time_point at{};
    for (const char* line : {"PING", "GET_SYNC_PATH", "BATCH_STATUS:/a|/b", "BATCH_STATUS:/c||", "nope", "BATCH_STATUS:/d"}) stats.count(line, at += 200ms);
    stats.count("BATCH_STATUS:/e", at += 500ms);
    EXPECT_EQ(stats.toJson(at), R"({"ping":1,"sync_path":1,"batch_status":4,"batch_paths":5,"other":1,"bursts":2,"completed_bursts":1,"burst_sizes":[3]})");
    vantorix::testing::TemporaryFolder folder("vantorix-stats");
    std::string file = folder.path / "stats.json";
    ASSERT_TRUE(stats.writeIfChanged(file, at += 500ms));
    EXPECT_EQ(vantorix::testing::contents(file), stats.toJson(at) + "\n");
    std::filesystem::remove(file);
    EXPECT_TRUE(stats.writeIfChanged(file, at));
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace vantorix::localservice
