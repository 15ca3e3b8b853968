// Seeded outages and recoveries over ten simulated minutes, with the sync folder shown in the file manager
// stand-in: once the service is healthy again, every shown badge converges on the service's status and no path
// is left behind in a queue. Each run prints its seed; a failing seed replays exactly.
#include "FinderStandIn.h"
#include "SimulationFixture.h"

#include <random>

namespace vantorix::testing {
namespace {

enum class Fault { down, stalledAnswers, neverReads, slowConnect, garbage, pongToEverything, failingBatches };

class OutageScenario : public SimulationTest, public ::testing::WithParamInterface<unsigned> {
protected:
    static constexpr const char* kFolder = "/Users/someone/Vantorix";
    static constexpr int kFiles = 300;

    void SetUp() override {
        // One seed decides the faults and the schedule of the threads.
        platform.setScheduleSeed(GetParam());
        random.seed(static_cast<unsigned>(platform.scheduleSeed()));
        std::printf("outage scenario seed %llu\n", static_cast<unsigned long long>(platform.scheduleSeed()));
        std::vector<std::string> names;
        for (int i = 0; i < kFiles; ++i) names.push_back("file" + std::to_string(i) + ".txt");
        platform.addDirectory(kFolder, names);
        for (const auto& name : names) files.push_back(std::string(kFolder) + "/" + name);
        for (const auto& file : files) platform.localService().setStatus(file, randomCode());
        platform.localService().setSyncPath(kFolder);
        standIn = std::make_unique<finder::FinderStandIn>(platform, nullptr);
        platform.setFinderSyncController(standIn.get());
    }

    void TearDown() override {
        extension.reset();
        platform.discardPendingWork();
        platform.setFinderSyncController(&platform.recordingFileManager());
        standIn.reset();
    }

    std::string randomCode() { return std::to_string(std::uniform_int_distribution<int>(0, 7)(random)); }
    Duration randomDuration(double minSeconds, double maxSeconds) {
        return seconds(std::uniform_real_distribution<double>(minSeconds, maxSeconds)(random));
    }

    void healthy() {
        auto& service = platform.localService();
        service.setAvailability(Availability::up);
        service.setHandler([&service](const std::string& line) {
            if (line == "PING") return Reply::text("PONG\n");
            if (line == "GET_SYNC_PATH") return Reply::text(std::string(kFolder) + "\n");
            if (line.rfind("BATCH_STATUS:", 0) == 0) return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n");
            return Reply::text("ERROR: unknown request\n");
        });
    }

    void inject(Fault fault) {
        auto& service = platform.localService();
        switch (fault) {
        case Fault::down: service.setAvailability(Availability::refusing); break;
        case Fault::stalledAnswers: service.setHandler([](const std::string&) { return Reply::silence(); }); break;
        case Fault::neverReads: service.setAvailability(Availability::acceptsButNeverReads); break;
        case Fault::slowConnect: service.setAvailability(Availability::slowConnect, 400ms); break;
        case Fault::garbage:
            service.setHandler([this](const std::string&) {
                static const std::vector<std::string> junk{"\xFF\xFE garbage\n", "PONG|PONG|PONG\n", "", "0|1|2|3|4|5\n", "ERROR: nope\n", "\n"};
                return Reply::text(junk[std::uniform_int_distribution<std::size_t>(0, junk.size() - 1)(random)]);
            });
            break;
        case Fault::pongToEverything: service.setHandler([](const std::string&) { return Reply::text("PONG\n"); }); break;
        case Fault::failingBatches:
            service.setHandler([](const std::string& line) {
                if (line == "PING") return Reply::text("PONG\n");
                if (line == "GET_SYNC_PATH") return Reply::text(std::string(kFolder) + "\n");
                return Reply::closeWithoutAnswer();
            });
            break;
        }
    }

    std::mt19937 random;
    std::vector<std::string> files;
    std::unique_ptr<finder::FinderStandIn> standIn;
};

TEST_P(OutageScenario, BadgesConvergeAfterTheLastRecovery) {
    healthy();
    extension = VantorixFinderSync::create(platform);
    standIn->attach(extension);
    standIn->show(kFolder);

    // Ten minutes of alternating health and faults, with statuses changing all along.
    const double end = 600;
    while (now() < end) {
        platform.advanceBy(randomDuration(2, 40));
        for (int k = 0; k < 5; ++k) platform.localService().setStatus(files[std::uniform_int_distribution<std::size_t>(0, files.size() - 1)(random)], randomCode());
        inject(static_cast<Fault>(std::uniform_int_distribution<int>(0, 6)(random)));
        platform.advanceBy(randomDuration(1, 30));
        healthy();
    }
    for (int k = 0; k < 20; ++k) platform.localService().setStatus(files[static_cast<std::size_t>(k) * 7], randomCode());

    // The last recovery: within 10 s every shown badge is the service's, and nothing waits in a queue.
    double recovered = now();
    auto converged = [&] {
        for (const auto& file : files) {
            if (standIn->badgeOf(file) != mapStatusToBadge(platform.localService().statusOf(file))) return false;
        }
        return true;
    };
    bool ok = platform.runUntilCondition(converged, 10s);
    EXPECT_TRUE(ok) << "seed " << GetParam() << ": badges not converged 10 s after the recovery at " << recovered;
    if (ok) {
        // Converged at this moment; and stays so while the service is healthy.
        platform.advanceBy(5s);
        EXPECT_TRUE(converged()) << "seed " << GetParam();
        EXPECT_TRUE(peer().retryQueue().empty()) << "seed " << GetParam();
        EXPECT_FALSE(peer().waitingMode()) << "seed " << GetParam();
        // A polling pass may have queued paths a moment ago; they leave with the next flush.
        EXPECT_TRUE(platform.runUntilCondition([&] { return peer().batchQueue().empty(); }, 100ms)) << "seed " << GetParam();
    }
}

// 200 seeds; fewer under the sanitizers, whose threads run many times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
INSTANTIATE_TEST_SUITE_P(Seeds, OutageScenario, ::testing::Range(1u, 26u));
#else
INSTANTIATE_TEST_SUITE_P(Seeds, OutageScenario, ::testing::Range(1u, 201u));
#endif

// A service that flaps every second for a minute: the extension never blocks, and converges once it is steady.
class FlappingService : public OutageScenario {};

TEST_P(FlappingService, BadgesConvergeOnceItIsSteady) {
    healthy();
    extension = VantorixFinderSync::create(platform);
    standIn->attach(extension);
    standIn->show(kFolder);
    for (int second = 0; second < 60; ++second) {
        if (second % 2 == 0) {
            inject(static_cast<Fault>(std::uniform_int_distribution<int>(0, 6)(random)));
        } else {
            healthy();
            platform.localService().setStatus(files[std::uniform_int_distribution<std::size_t>(0, files.size() - 1)(random)], randomCode());
        }
        platform.advanceBy(1s);
    }
    healthy();
    auto converged = [&] {
        for (const auto& file : files) {
            if (standIn->badgeOf(file) != mapStatusToBadge(platform.localService().statusOf(file))) return false;
        }
        return true;
    };
    EXPECT_TRUE(platform.runUntilCondition(converged, 10s)) << "seed " << GetParam();
    EXPECT_TRUE(platform.runUntilCondition([&] { return peer().retryQueue().empty(); }, 5s)) << "seed " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Seeds, FlappingService, ::testing::Range(1u, 6u));

}  // namespace
}  // namespace vantorix::testing
