// End-to-end figures on the real platform, in one process: the extension, the file manager stand-in and a
// local service on 127.0.0.1:27835 that answers at once.
//
//   1. A badge request for an uncached item inside the sync folder, to its setBadgeIdentifier: median and
//      spread over 100 requests (the floor is the 0.030 s flush timer).
//   2. A folder of 10,000 entries shown: the time until every entry has its badge, then 6 s of polling with
//      the batch exchanges per second and whether waiting mode was ever entered.
//
// The port is fixed: run it where nothing else listens on 27835 (for instance in `unshare -rn` after
// `ip link set lo up`).
#include "FastPeer.h"
#include "FinderStandIn.h"
#include "VantorixFinderSync.h"
#include "platform/posix/PosixPlatform.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace vantorix;
using Clock = std::chrono::steady_clock;

namespace {

// Kept cheap for the main thread, which records every badge: one map update and a counter per badge.
struct BadgeLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Clock::time_point> setAt;  // last time a non-empty badge was set, per path
    std::string countedFolder;                       // badges of entries of this folder are counted
    std::size_t counted = 0;

    void record(const finder::FinderEvent& event) {
        if (event.call != "setBadgeIdentifier" || event.badge.empty()) return;
        std::lock_guard lock(mutex);
        auto [it, added] = setAt.insert_or_assign(event.path, Clock::now());
        if (added && !countedFolder.empty() && event.path.rfind(countedFolder, 0) == 0) ++counted;
        changed.notify_all();
    }
    bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, condition);
    }
};

double milliseconds(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::printf("usage: vantorix-e2e-bench\n"
                    "Measures, on the real platform in one process with the stand-in and a service on 127.0.0.1:27835 that\n"
                    "answers at once: badge request latency (100 uncached items) and a folder of 10,000 entries.\n"
                    "Run it where nothing else listens on 27835, e.g. unshare -rn sh -c 'ip link set lo up; %s'.\n",
                    argv[0]);
        return std::string(argv[1]) == "--help" ? 0 : 2;
    }
    namespace fs = std::filesystem;
    fs::path folder = fs::temp_directory_path() / ("vantorix-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder / "big");
    for (int i = 0; i < 10000; ++i) std::ofstream(folder / "big" / ("entry" + std::to_string(i) + ".dat"));

    bench::FastPeer peer(27835, folder.string());
    posix::PosixPlatform platform;
    BadgeLog log;
    finder::FinderStandIn standIn(platform, [&log](const finder::FinderEvent& event) { log.record(event); });
    platform.setFinderSyncController(&standIn);
    std::thread mainThread([&] { platform.runMainLoop(); });

    auto extension = VantorixFinderSync::create(platform);
    platform.mainQueue().sync([&] { standIn.attach(extension); });
    auto known = Clock::now() + std::chrono::seconds(10);
    auto folderDeclared = [&] {
        bool declared = false;
        platform.mainQueue().sync([&] { declared = !standIn.observedDirectories().empty(); });
        return declared;
    };
    while (!folderDeclared() && Clock::now() < known) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!folderDeclared()) {
        std::fprintf(stderr, "the extension never learnt the sync folder: is something else listening on 27835?\n");
        return 1;
    }

    // 1. Badge request latency.
    std::vector<double> latencies;
    for (int i = 0; i < 100; ++i) {
        std::string path = (folder / "latency" / ("item" + std::to_string(i))).string();
        auto asked = Clock::now();
        platform.mainQueue().async([&standIn, path] { standIn.request(path); });
        if (!log.waitFor([&] { return log.setAt.count(path) != 0; }, std::chrono::seconds(5))) {
            std::fprintf(stderr, "no badge for %s\n", path.c_str());
            return 1;
        }
        std::lock_guard lock(log.mutex);
        latencies.push_back(milliseconds(log.setAt[path] - asked));
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("badge request -> setBadgeIdentifier (100 uncached items): median %.2f ms, p10 %.2f ms, p90 %.2f ms, max %.2f ms\n",
                latencies[50], latencies[10], latencies[90], latencies.back());

    // 2. A folder of 10,000 entries.
    std::string big = (folder / "big").string();
    {
        std::lock_guard lock(log.mutex);
        log.countedFolder = big + "/";
    }
    auto shown = Clock::now();
    platform.mainQueue().async([&standIn, big] { standIn.show(big); });
    auto allBadged = [&] { return log.counted == 10000; };
    if (!log.waitFor(allBadged, std::chrono::seconds(30))) {
        std::fprintf(stderr, "the 10,000 entries were not all badged within 30 s\n");
        return 1;
    }
    Clock::time_point last;
    {
        std::lock_guard lock(log.mutex);
        for (const auto& [path, at] : log.setAt) {
            if (path.rfind(big + "/", 0) == 0) last = std::max(last, at);
        }
    }
    std::printf("10,000 entries shown -> all badged: %.1f ms\n", milliseconds(last - shown));

    long batchesBefore = peer.batchRequests();
    bool everWaiting = false;
    auto watchEnd = Clock::now() + std::chrono::seconds(6);
    while (Clock::now() < watchEnd) {
        everWaiting = everWaiting || extension->isWaitingForLocalService();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("6 s of polling the 10,000 entries: %.1f batch exchanges per second, waiting mode entered: %s\n",
                static_cast<double>(peer.batchRequests() - batchesBefore) / 6.0, everWaiting ? "yes" : "no");

    platform.stopMainLoop();
    mainThread.join();
    fs::remove_all(folder);
    std::fflush(stdout);
    std::_Exit(0);
}
