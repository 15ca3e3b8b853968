// The reference local service's answers and status rules, without sockets.
#include "LocalService.h"
#include "RequestLineReader.h"
#include "StatusRules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace vantorix::localservice {
namespace {

TEST(StatusRules, TheLastMatchingLineWinsAndMalformedLinesAreReported) {
    std::vector<std::string> problems;
    auto rules = parseStatusRules("# comment\n\n4 *.tmp\r\n7   Shared/*  \n9 nope\nx\n3\n1 /abs/*\n", problems);
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules[1].glob, "Shared/*");
    EXPECT_EQ(rules[2].glob, "/abs/*");
    EXPECT_EQ(problems.size(), 3u);
    EXPECT_NE(problems[0].find("line 5"), std::string::npos);

    auto folder = std::filesystem::temp_directory_path() / ("vantorix-rules-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::string file = (folder / "rules").string();
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
    std::filesystem::remove_all(folder);
}

struct Recorder : NotificationCenter {
    void addObserver(const void*, const std::string&, Handler) override {}
    void removeObserver(const void*) override {}
    void post(const std::string& name, const std::string&, const std::optional<PropertyValue>& userInfo) override {
        posts.push_back({name, "", userInfo});
    }
    std::vector<Notification> posts;
};

TEST(LocalService, AnswersEachRequestAndPostsEveryChangeOfAKnownPath) {
    auto folder = std::filesystem::temp_directory_path() / ("vantorix-service-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::string file = (folder / "rules").string();
    std::ofstream(file) << "1 *.mov\n";
    Recorder notifier;
    LocalService service(StatusRules("/R", file), false, 1, &notifier);
    EXPECT_EQ(service.answer("PING"), "PONG\n");
    EXPECT_EQ(service.answer("GET_SYNC_PATH"), "/R\n");
    EXPECT_EQ(service.answer("BATCH_STATUS:/R/a||/R/b.mov|"), "0|1\n");
    EXPECT_EQ(service.answer("BATCH_STATUS:"), "\n");
    EXPECT_EQ(service.answer("ping"), "ERROR: unknown request\n");
    EXPECT_EQ(service.answer("\xff\xfe"), "ERROR: malformed request\n");

    service.tick(LocalService::Clock::now());
    EXPECT_TRUE(notifier.posts.empty());
    std::ofstream(file) << "3 /R/a\n";
    service.tick(LocalService::Clock::now());
    ASSERT_EQ(notifier.posts.size(), 1u);
    const auto& info = *notifier.posts[0].userInfo->as<PropertyValue::Dictionary>();
    EXPECT_EQ(notifier.posts[0].name, "VantorixStatusChanged");
    const auto& states = *info.at("sync_state").as<PropertyValue::Array>();
    ASSERT_EQ(states.size(), 2u);  // /R/a became an error; /R/b.mov is synced now
    std::filesystem::remove_all(folder);
}

// Found by fuzzing: answers the client's single read cannot take whole and as UTF-8 are refused instead.
TEST(LocalService, RefusesAnswersThatWouldNotFitTheClientsRead) {
    std::string fits, tooMany;
    for (int i = 0; i < 4096; ++i) fits += "/R/f" + std::to_string(i) + "|";
    LocalService service(StatusRules("/R", ""), false, 1, nullptr);
    EXPECT_EQ(service.answer("BATCH_STATUS:" + fits).size(), 8192u);
    EXPECT_EQ(service.answer("BATCH_STATUS:" + fits + "/R/one-more"), LocalService::kTooManyPathsAnswer);
    EXPECT_EQ(service.answer("BATCH_STATUS:" + std::string(10000, '|')), "\n");  // empty pieces are no paths

    std::string longest = "/" + std::string(1022, 'd');
    EXPECT_EQ(LocalService(StatusRules(longest, ""), false, 1, nullptr).answer("GET_SYNC_PATH"), longest + "\n");
    EXPECT_EQ(LocalService(StatusRules(longest + "d", ""), false, 1, nullptr).answer("GET_SYNC_PATH"), "ERROR: sync folder path too long\n");
    EXPECT_EQ(LocalService(StatusRules("/tmp/\xd1\x8d\x83", ""), false, 1, nullptr).answer("GET_SYNC_PATH"), "ERROR: sync folder path is not UTF-8\n");
}

TEST(RequestLineReader, AssemblesTheLineFromAnyPiecesAndBoundsIt) {
    RequestLineReader pieces(16);
    EXPECT_EQ(pieces.take("PI"), RequestLineReader::State::incomplete);
    EXPECT_EQ(pieces.take("NG\r\nrest"), RequestLineReader::State::line);
    EXPECT_EQ(pieces.takeLine(), "PING");
    EXPECT_EQ(pieces.take("more\n"), RequestLineReader::State::line);  // one line per connection
    EXPECT_EQ(pieces.end(), std::nullopt);

    RequestLineReader unended(16);
    EXPECT_EQ(unended.take("PING\r"), RequestLineReader::State::incomplete);
    EXPECT_EQ(unended.end(), "PING\r");  // closed before a line feed: taken as it came
    EXPECT_EQ(RequestLineReader(16).end(), std::nullopt);

    RequestLineReader bounded(16);
    EXPECT_EQ(bounded.take(std::string(16, 'x')), RequestLineReader::State::incomplete);
    EXPECT_EQ(bounded.take("x"), RequestLineReader::State::tooLong);
    EXPECT_EQ(bounded.take("\n"), RequestLineReader::State::tooLong);
}

}  // namespace
}  // namespace vantorix::localservice
