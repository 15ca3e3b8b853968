// A test that owns a simulated platform and, once started, the extension on it.
#pragma once

#include "VantorixFinderSync.h"
#include "VantorixFinderSyncTestPeer.h"
#include "platform/simulation/SimulatedPlatform.h"
#include "pipeline/Batches.h"
#include "protocol/Wire.h"

#include <gtest/gtest.h>

namespace vantorix::testing {

using namespace std::chrono_literals;
using simulation::Availability;
using simulation::ConnectionScript;
using simulation::FileManagerCall;
using simulation::Reply;
using simulation::SimulatedPlatform;

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

    double now() const { return platform.elapsedSeconds(); }
    VantorixFinderSyncTestPeer peer() { return VantorixFinderSyncTestPeer(*extension); }

    std::vector<FileManagerCall> badgeCalls() {
        return platform.recordingFileManager().callsOf(FileManagerCall::Kind::setBadgeIdentifier);
    }

    std::vector<simulation::ReceivedRequest> batchRequests() { return platform.localService().requestsStartingWith("BATCH_STATUS:"); }

    SimulatedPlatform platform;
    std::shared_ptr<VantorixFinderSync> extension;
};

}  // namespace vantorix::testing
