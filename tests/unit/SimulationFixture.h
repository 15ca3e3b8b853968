// A test that owns a simulated platform and, once started, the extension on it.
#pragma once

#include "FileManagerModel.h"
#include "VantorixFinderSync.h"
#include "VantorixFinderSyncTestPeer.h"
#include "platforms/simulation/SimulatedPlatform.h"
#include "pipeline/Batches.h"
#include "protocol/Wire.h"

#include <gtest/gtest.h>

#include <set>

namespace vantorix::testing {

using namespace std::chrono_literals;
using simulation::Availability;
using simulation::FileManagerCall;
using simulation::Reply;
using simulation::SimulatedPlatform;

// A service that answers every request honestly: PONG, `folder`, and each path's code, the batches after `delay`.
inline simulation::ScriptedLocalService::Handler honestService(simulation::ScriptedLocalService& service, std::string folder, Duration delay = Duration(0)) {
    return [&service, folder, delay](const std::string& line) {
        if (line == "PING") return Reply::text("PONG\n");
        if (line == "GET_SYNC_PATH") return Reply::text(folder + "\n");
        if (line.rfind("BATCH_STATUS:", 0) == 0) return Reply::text(simulation::defaultBatchAnswer(service, line.substr(13)) + "\n", delay);
        return Reply::text("ERROR: unknown request\n");
    };
}

// The sync folder, of `count` files, shown in the file manager stand-in, with the extension made as the entry
// point makes it; every call across the boundary also goes to `sink`.
struct ShownFolder {
    ShownFolder(SimulatedPlatform& platform, const std::string& folder, int count, session::FileManagerModel::EventSink sink = nullptr)
        : platform(platform), model(platform, std::move(sink)) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) files.push_back(folder + "/" + names.emplace_back("file" + std::to_string(i)));
        platform.addDirectory(folder, names);
        platform.localService().setSyncPath(folder);
        platform.setFinderSyncController(&model);
        extension = VantorixFinderSync::create(platform);
        model.attach(extension);
        model.show(folder);
    }
    ~ShownFolder() {
        extension.reset();
        platform.discardPendingWork();
        platform.setFinderSyncController(&platform.recordingFileManager());
    }
    // Whether every file shows the badge of its code at the service.
    bool badgesAreTheService() const {
        for (const auto& file : files) {
            if (model.badgeOf(file) != mapStatusToBadge(platform.localService().statusOf(file))) return false;
        }
        return true;
    }

    SimulatedPlatform& platform;
    session::FileManagerModel model;
    std::vector<std::string> files;
    std::shared_ptr<VantorixFinderSync> extension;
};

class SimulationTest : public ::testing::Test {
protected:
    ~SimulationTest() override {
        if (HasFailure()) {
            const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
            std::printf("replay this schedule: VANTORIX_SEED=%llu ctest --test-dir build -R '^%s.%s$'\n",
                        static_cast<unsigned long long>(platform.scheduleSeed()), test->test_suite_name(), test->name());
        }
        extension.reset();
        platform.discardPendingWork();  // the end of the process: whatever still holds the object lets go
    }

    // Makes the extension as the entry point does and runs its background start.
    void start() {
        extension = VantorixFinderSync::create(platform);
        platform.runUntilIdle();
    }

    // Starts with the service up and lets the sync-path loop learn the sync folder (3 s after start).
    void startWithSyncFolder(const std::string& folder = "/Users/someone/Vantorix") {
        platform.localService().setSyncPath(folder);
        start();
        platform.advanceBy(3s);
        ASSERT_EQ(peer().syncPath(), folder);
    }

    Duration now() const { return platform.elapsed(); }
    VantorixFinderSyncTestPeer peer() { return VantorixFinderSyncTestPeer(*extension); }

    std::vector<FileManagerCall> badgeCalls() {
        return platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeIdentifier);
    }

    std::vector<simulation::ReceivedRequest> batchRequests() { return platform.localService().requestsStartingWith("BATCH_STATUS:"); }
    // Every path the batch requests have asked for so far, as often as it was asked for.
    std::multiset<std::string> askedPaths() {
        std::multiset<std::string> paths;
        for (const auto& request : batchRequests()) {
            for (const auto& path : splitOnSeparator(request.line.substr(13))) paths.insert(path);
        }
        return paths;
    }

    SimulatedPlatform platform;
    std::shared_ptr<VantorixFinderSync> extension;
};

}  // namespace vantorix::testing
