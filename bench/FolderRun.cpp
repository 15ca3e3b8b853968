#include "FolderRun.h"

#include "ProcessProbe.h"
#include "ServiceProcess.h"
#include "TraceProcess.h"
#include "protocol/Paths.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <csignal>
#include <memory>
#include <unistd.h>

namespace vantorix::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// What the trace lines have told so far. Fed on the trace reader's thread, read by the run under `mutex`.
struct TraceTally {
    std::string rootUrl;
    std::string folder;
    std::mutex mutex;
    std::condition_variable changed;
    bool declared = false;
    double beginAt = -1;            // t of the folder's beginObservingDirectory
    std::unordered_set<std::string> badged;  // entries of the folder that have had a badge
    double lastFirstBadgeAt = 0;
    bool windowOpen = false;
    long windowBadges = 0, windowRemovals = 0, windowRepaints = 0;
    std::map<std::string, double> requestedAt;  // latency probes: path -> t of its requestBadgeIdentifier
    std::map<std::string, double> badgedAt;     // latency probes: path -> t of its first badge
    bool repainted = false;                     // the first server check's repaint: the observed set emptied, or a refresh
    std::unordered_set<std::string> badgedAfterRepaint;  // entries badged again since

    void take(const nlohmann::json& line) {
        std::string call = line.value("call", "");
        double t = line.value("t", 0.0);
        std::lock_guard lock(mutex);
        if (call == "setDirectoryURLs") {
            const auto& urls = line["urls"];
            if (urls.empty() && windowOpen) ++windowRepaints;
            if (urls.empty()) repainted = true;
            for (const auto& url : urls) declared = declared || url == rootUrl;
        } else if (call == "refresh") {
            // Through the service the same repaint reaches the host as one line, the set never seen emptied.
            if (windowOpen) ++windowRepaints;
            repainted = true;
        } else if (call == "beginObservingDirectory") {
            if (beginAt < 0 && line.value("path", "") == folder) beginAt = t;
        } else if (call == "requestBadgeIdentifier") {
            auto probe = requestedAt.find(line.value("path", ""));
            if (probe != requestedAt.end() && probe->second < 0) probe->second = t;
        } else if (call == "setBadgeIdentifier") {
            std::string path = line.value("path", "");
            bool removal = line.value("badge", "").empty();
            if (windowOpen) {
                ++windowBadges;
                if (removal) ++windowRemovals;
            }
            if (!removal) {
                bool entry = isInsideFolder(path, folder);
                if (entry && badged.insert(path).second) lastFirstBadgeAt = t;
                if (entry && repainted) badgedAfterRepaint.insert(path);
                if (requestedAt.count(path) != 0) badgedAt.try_emplace(path, t);
            }
        }
        changed.notify_all();
    }

    template <typename Condition>
    bool waitFor(Condition condition, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, condition);
    }
};

// Samples the stand-in's thread count until stopped.
class ThreadSampler {
public:
    explicit ThreadSampler(int pid) : thread_([this, pid] {
        while (!stop_) {
            if (auto threads = threadsOf(pid)) most_ = std::max(most_.load(), *threads);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }) {}
    ~ThreadSampler() { stop(); }
    long stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return most_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> most_{0};
    std::thread thread_;
};

std::vector<std::string> makeFolder(const fs::path& folder, std::size_t entries) {
    fs::create_directories(folder);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < entries; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "entry%06zu.dat", i);
        paths.push_back((folder / name).string());
        std::ofstream(paths.back());
    }
    return paths;  // in name order, as the stand-in asks for them
}

long asLong(const nlohmann::json& stats, const char* key) { return stats.value(key, 0L); }

}  // namespace

FolderFigures runFolder(const SuiteOptions& options, std::size_t entries, const std::function<void(const std::vector<std::string>&)>& afterStandIn) {
    fs::path root = fs::path(options.workDirectory) / ("vantorix-bench-" + std::to_string(::getpid()) + "-" + std::to_string(entries));
    fs::remove_all(root);
    FolderFigures figures;
    figures.entries = entries;
    // The shown folder is the sync folder itself: the one folder the extension polls, so that every exchange at
    // rest is for its entries.
    figures.paths = makeFolder(root, entries);
    struct Cleanup {
        fs::path root;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(root, ignored);
            fs::remove(root.string() + ".stats.json", ignored);
        }
    } cleanup{root};

    ServiceProcess service(options.serviceProgram, root.string(), root.string() + ".stats.json");
    TraceTally tally;
    tally.rootUrl = "file://" + root.string();
    tally.folder = root.string();
    // Through the service: its own runtime folder, the service first, then the host that joins it.
    std::unique_ptr<testing::TraceProcess> extension;
    if (options.throughService) {
        fs::path runtime = root.string() + ".runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        extension = std::make_unique<testing::TraceProcess>(options.finderProgram, nullptr, std::vector<std::string>{"serve", "--idle-exit", "0"});
        for (int i = 0; i < 500 && !fs::exists(runtime / "vantorix/finder.sock"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto started = Clock::now();
    testing::TraceProcess trace(options.finderProgram, [&tally](const nlohmann::json& line, Clock::time_point) { tally.take(line); },
                                options.throughService ? std::vector<std::string>{"trace", "--join"} : std::vector<std::string>{"trace"});
    const int measured = extension ? extension->pid() : trace.pid();
    ThreadSampler threads(measured);

    if (!tally.waitFor([&] { return tally.declared; }, std::chrono::seconds(20))) throw std::runtime_error("the sync folder was never declared");
    double cpuBefore = cpuSecondsOf(measured).value_or(0);
    trace.send("show " + tally.folder);
    auto limit = std::chrono::seconds(60) + std::chrono::milliseconds(entries * 2);
    if (!tally.waitFor([&] { return tally.badged.size() == entries; }, std::chrono::duration_cast<std::chrono::milliseconds>(limit))) {
        throw std::runtime_error(std::to_string(tally.badged.size()) + " of " + std::to_string(entries) + " entries badged in time");
    }
    double cpuAllBadged = cpuSecondsOf(measured).value_or(0);
    {
        std::lock_guard lock(tally.mutex);
        figures.secondsToAllBadges = tally.lastFirstBadgeAt - tally.beginAt;
    }
    figures.cpuSecondsToAllBadges = cpuAllBadged - cpuBefore;

    // At rest: after the first availability check, 10 s after the start, whose reconnection steps repaint the
    // folder once by design (the service was never confirmed before it), and once every badge of that repaint has
    // been read (through the service the lines take one more hop).
    std::this_thread::sleep_until(std::max(Clock::now() + std::chrono::milliseconds(500), started + std::chrono::seconds(12)));
    tally.waitFor([&] { return !tally.repainted || tally.badgedAfterRepaint.size() == entries; }, std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    nlohmann::json statsBefore = service.stats();
    double cpuRestStart = cpuSecondsOf(measured).value_or(0);
    auto restStart = Clock::now();
    {
        std::lock_guard lock(tally.mutex);
        tally.windowOpen = true;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(options.restSeconds));
    {
        std::lock_guard lock(tally.mutex);
        tally.windowOpen = false;
        figures.badgesSetAtRest = tally.windowBadges;
        figures.badgesRemovedAtRest = tally.windowRemovals;
        figures.repaintsAtRest = tally.windowRepaints;
    }
    double cpuRestEnd = cpuSecondsOf(measured).value_or(0);
    figures.restSeconds = std::chrono::duration<double>(Clock::now() - restStart).count();
    figures.peakRssKib = peakRssKibOf(measured).value_or(0);
    figures.restRssKib = rssKibOf(measured).value_or(0);
    nlohmann::json statsAfter = service.stats();
    figures.restCpuFraction = (cpuRestEnd - cpuRestStart) / figures.restSeconds;
    for (const char* kind : {"ping", "sync_path", "batch_status", "other"}) figures.exchangesAtRest += asLong(statsAfter, kind) - asLong(statsBefore, kind);
    figures.batchExchangesAtRest = asLong(statsAfter, "batch_status") - asLong(statsBefore, "batch_status");
    figures.completedPasses = asLong(statsAfter, "completed_bursts") - asLong(statsBefore, "completed_bursts");
    std::vector<long> sizes = statsAfter.value("burst_sizes", std::vector<long>{});
    std::size_t take = std::min<std::size_t>(sizes.size(), static_cast<std::size_t>(std::max(0L, figures.completedPasses)));
    figures.exchangesPerPass.assign(sizes.end() - static_cast<std::ptrdiff_t>(take), sizes.end());

    // Single requests for items never asked before, one at a time.
    for (int i = 0; i < options.latencySamples; ++i) {
        std::string path = (root / "probe" / ("item" + std::to_string(i))).string();
        {
            std::lock_guard lock(tally.mutex);
            tally.requestedAt[path] = -1;
        }
        trace.send("request " + path);
        if (!tally.waitFor([&] { return tally.badgedAt.count(path) != 0; }, std::chrono::seconds(10))) throw std::runtime_error("no badge for " + path);
        std::lock_guard lock(tally.mutex);
        figures.requestLatencies.push_back(tally.badgedAt[path] - tally.requestedAt[path]);
    }
    figures.maxThreads = threads.stop();
    trace.send("quit");
    trace.closeInput();
    trace.waitForExit(std::chrono::seconds(10));
    if (extension) ::kill(extension->pid(), SIGTERM);
    afterStandIn(figures.paths);
    return figures;
}

}  // namespace vantorix::bench
