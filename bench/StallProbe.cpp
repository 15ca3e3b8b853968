// vantorix-stall-bench: the main thread of the stand-in under a stalled and then a slow local service, measured
// from outside the process. Every 0.2 s a `request` for an item outside the sync folder is written to the
// stand-in; the stand-in echoes it as a requestBadgeIdentifier line from its main thread as it handles the
// command, so the delay from writing the command to that line is how long the main thread was held.
//
//   1. Stall: a folder of N entries is shown and badged; the service then answers nothing for S seconds: each
//      connection is closed unanswered H ms after its request (by default 80 ms: long enough for a polling
//      pass to hand every path of the folder to runs before the first exchange fails, short enough for all of
//      them to fail within the stall, so that every path ends up in the retry queue); then it answers again,
//      and the retry queue drains. Figures: the longest echo delay
//      while it drains, and the time until every entry has its badge back.
//   2. Slow service: a fresh stand-in shows the folder while every batch answer takes D ms. Figures: the time to
//      all badges against the N/50 * D the exchanges themselves take, the badges removed meanwhile, and the
//      longest echo delay.
//
// It binds 127.0.0.1:27835: run it where nothing else does.
#include "FastPeer.h"
#include "TraceProcess.h"
#include "protocol/Paths.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <unistd.h>

using namespace vantorix;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

const char* kUsage =
    "usage: vantorix-stall-bench [--entries N] [--stall SECONDS] [--hold-ms H] [--delay-ms D] [--finder PATH]\n"
    "                            [--keep-trace DIR]\n"
    "\n"
    "Measures the stand-in's main thread from outside (the delay of its echo of a request sent every 0.2 s):\n"
    "  1. a folder of N entries (default 10000) badged, then a service that answers nothing for SECONDS\n"
    "     (default 20; each connection is closed unanswered H ms after its request, default 80): the longest\n"
    "     hold while the retry queue drains, and the time until the badges are back;\n"
    "  2. a fresh stand-in showing the folder with a service that answers each batch after D ms (default 30):\n"
    "     the time to all badges against N/50*D, and the badges removed meanwhile.\n"
    "With --keep-trace, the stand-in's lines of each part go to DIR/stall.jsonl and DIR/slow.jsonl.\n"
    "Binds 127.0.0.1:27835: run it alone there, e.g. unshare -rn sh -c 'ip link set lo up; vantorix-stall-bench'.\n";

// The trace lines of one stand-in, tallied as they come, and the echo probes.
struct Tally {
    std::string folder;  // the sync folder, shown
    std::size_t entries = 0;
    std::mutex mutex;
    std::condition_variable changed;
    bool declared = false;
    double beginAt = -1;
    std::unordered_set<std::string> badged;  // entries whose badge is shown now
    double lastBadgeAt = 0;                   // t of the badge that completed `badged`, when it did
    long removals = 0;                        // removals of an entry's badge
    long forgotten = 0;                       // badges the stand-in dropped when the folder stopped being observed
    double offset = 1e18;  // driver seconds at the stand-in's t = 0 (the least of read time minus t)
    Clock::time_point origin = Clock::now();
    std::map<std::string, double> probeSent;   // probe path -> driver seconds when written
    std::map<std::string, double> probeEcho;   // probe path -> stand-in t of its echo
    std::map<std::string, double> probeRead;   // probe path -> driver seconds when its echo was read
    std::ofstream keep;                         // every line, when asked to keep them
    // The stand-in asks for every entry in one main-thread loop whenever the folder becomes observed (shown, or
    // put back by a repaint): from beginObservingDirectory to the request of the last entry, by its clock.
    double loopStart = -1;
    std::size_t loopRequests = 0;
    std::vector<double> requestLoops;

    double seconds(Clock::time_point at) const { return std::chrono::duration<double>(at - origin).count(); }

    void take(const nlohmann::json& line, Clock::time_point readAt) {
        std::string call = line.value("call", "");
        double t = line.value("t", 0.0);
        std::string path = line.value("path", "");
        std::lock_guard lock(mutex);
        if (keep.is_open()) keep << line.dump() << '\n';
        offset = std::min(offset, seconds(readAt) - t);
        bool entry = isInsideFolder(path, folder);
        if (call == "setDirectoryURLs") {
            for (const auto& url : line["urls"]) declared = declared || url == "file://" + folder;
        } else if (call == "beginObservingDirectory" && path == folder) {
            if (beginAt < 0) beginAt = t;
            loopStart = t;
            loopRequests = 0;
        } else if (call == "requestBadgeIdentifier" && entry) {
            if (loopStart >= 0 && ++loopRequests == entries) {
                requestLoops.push_back(t - loopStart);
                loopStart = -1;
            }
        } else if (call == "endObservingDirectory" && path == folder) {
            forgotten += static_cast<long>(badged.size());  // a repaint: the stand-in forgets the folder's badges
            badged.clear();
        } else if (call == "requestBadgeIdentifier" && probeSent.count(path) != 0) {
            probeEcho.try_emplace(path, t);
            probeRead.try_emplace(path, seconds(readAt));
        } else if (call == "setBadgeIdentifier" && entry) {
            if (line.value("badge", "").empty()) {
                if (badged.erase(path) != 0) ++removals;
            } else if (badged.insert(path).second) {
                lastBadgeAt = t;
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

// Writes a probe request every 0.2 s until stopped.
class Prober {
public:
    Prober(testing::TraceProcess& trace, Tally& tally) : thread_([this, &trace, &tally] {
        for (long k = 0; !stop_; ++k) {
            std::string path = "/vantorix-probe-outside/p" + std::to_string(k);
            {
                std::lock_guard lock(tally.mutex);
                tally.probeSent[path] = tally.seconds(Clock::now());
            }
            trace.send("request " + path);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }) {}
    ~Prober() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct EchoFigures {
    long probes = 0;
    long unanswered = 0;
    double longest = 0;          // by the stand-in's clock: echo t + offset - sent
    double longestAsRead = 0;    // by the driver's clock: read - sent (includes the pipe and the reader)
    double median = 0;
};

// The echoes of the probes written within [from, to] (driver seconds).
EchoFigures echoes(Tally& tally, double from, double to) {
    std::lock_guard lock(tally.mutex);
    EchoFigures figures;
    std::vector<double> delays;
    for (const auto& [path, sent] : tally.probeSent) {
        if (sent < from || sent > to) continue;
        ++figures.probes;
        auto echo = tally.probeEcho.find(path);
        if (echo == tally.probeEcho.end()) {
            ++figures.unanswered;
            continue;
        }
        // t has millisecond steps: the delay is known to within a millisecond, and never below zero.
        double delay = std::max(0.0, echo->second + tally.offset - sent);
        delays.push_back(delay);
        figures.longestAsRead = std::max(figures.longestAsRead, tally.probeRead[path] - sent);
    }
    if (!delays.empty()) {
        std::sort(delays.begin(), delays.end());
        figures.longest = delays.back();
        figures.median = delays[delays.size() / 2];
    }
    return figures;
}

void printLoops(Tally& tally) {
    std::lock_guard lock(tally.mutex);
    std::printf("  the stand-in's loops asking for every entry (main thread, by its clock):");
    for (double loop : tally.requestLoops) std::printf(" %.3f s", loop);
    std::printf("\n");
}

void printEchoes(const char* what, const EchoFigures& figures) {
    std::printf("  %s: %ld probes, longest main-thread hold %.3f s (as read %.3f s), median %.1f ms%s\n", what, figures.probes, figures.longest,
                figures.longestAsRead, 1e3 * figures.median, figures.unanswered ? " -- SOME PROBES NEVER ECHOED" : "");
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t entries = 10000;
    double stallSeconds = 20;
    long delayMs = 30;
    long holdMs = 80;
    std::string finder = (fs::read_symlink("/proc/self/exe").parent_path() / "vantorix-finder").string();
    std::string keepDirectory;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        std::string value = argv[++i];
        if (option == "--entries") entries = std::stoul(value);
        else if (option == "--stall") stallSeconds = std::stod(value);
        else if (option == "--delay-ms") delayMs = std::stol(value);
        else if (option == "--hold-ms") holdMs = std::stol(value);
        else if (option == "--finder") finder = value;
        else if (option == "--keep-trace") keepDirectory = value;
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }

    fs::path folder = fs::temp_directory_path() / ("vantorix-stall-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    for (std::size_t i = 0; i < entries; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "entry%06zu.dat", i);
        std::ofstream(folder / name);
    }
    bench::FastPeer peer(27835, folder.string());
    int status = 0;
    auto all = [&](Tally& tally) { return [&tally, entries] { return tally.badged.size() == entries; }; };

    // 1. A stall, then the retry queue drains.
    {
        Tally tally;
        tally.folder = folder.string();
        tally.entries = entries;
        if (!keepDirectory.empty()) tally.keep.open(keepDirectory + "/stall.jsonl");
        testing::TraceProcess trace(finder, [&tally](const nlohmann::json& line, Clock::time_point at) { tally.take(line, at); });
        if (!tally.waitFor([&] { return tally.declared; }, std::chrono::seconds(20))) return std::fprintf(stderr, "the sync folder was never declared\n"), 1;
        trace.send("show " + folder.string());
        if (!tally.waitFor(all(tally), std::chrono::seconds(60))) return std::fprintf(stderr, "the folder was never badged\n"), 1;
        std::this_thread::sleep_for(std::chrono::seconds(2));
        Prober prober(trace, tally);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        double stallStart = tally.seconds(Clock::now());
        peer.startOutage(std::chrono::milliseconds(static_cast<long>(stallSeconds * 1000)), std::chrono::milliseconds(holdMs));
        std::this_thread::sleep_for(std::chrono::duration<double>(stallSeconds));
        while (peer.inOutage()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        double stallEnd = tally.seconds(Clock::now());
        std::size_t queued = peer.unansweredPaths();
        bool back = tally.waitFor(all(tally), std::chrono::seconds(120));
        double backAt;
        {
            std::lock_guard lock(tally.mutex);
            backAt = tally.lastBadgeAt + tally.offset;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        prober.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::printf("1. Stall of %.0f s (connections closed unanswered after %ld ms) with %zu entries shown; %zu distinct paths went unanswered\n"
                    "   during it (the retry queue)\n", stallSeconds, holdMs, entries, queued);
        printEchoes("before the stall (2 s)", echoes(tally, stallStart - 2, stallStart));
        printEchoes("during the stall", echoes(tally, stallStart, stallEnd));
        printEchoes("from the stall's end until 2 s after every badge is back", echoes(tally, stallEnd, backAt + 2));
        if (back) std::printf("  every badge back %.3f s after the stall ended\n", backAt - stallEnd);
        else std::printf("  NOT every badge came back within 120 s\n"), status = 1;
        printLoops(tally);
        trace.send("quit");
    }

    // 2. A slow service from the start.
    {
        peer.setBatchDelay(std::chrono::milliseconds(delayMs));
        Tally tally;
        tally.folder = folder.string();
        tally.entries = entries;
        if (!keepDirectory.empty()) tally.keep.open(keepDirectory + "/slow.jsonl");
        testing::TraceProcess trace(finder, [&tally](const nlohmann::json& line, Clock::time_point at) { tally.take(line, at); });
        if (!tally.waitFor([&] { return tally.declared; }, std::chrono::seconds(20))) return std::fprintf(stderr, "the sync folder was never declared\n"), 1;
        Prober prober(trace, tally);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        long batchesBefore = peer.batchRequests();
        double shownAt = tally.seconds(Clock::now());
        trace.send("show " + folder.string());
        bool done = tally.waitFor(all(tally), std::chrono::seconds(120));
        double seconds, doneAt;
        long removals, forgotten;
        {
            std::lock_guard lock(tally.mutex);
            seconds = tally.lastBadgeAt - tally.beginAt;
            doneAt = tally.lastBadgeAt + tally.offset;
            removals = tally.removals;
            forgotten = tally.forgotten;
        }
        long batches = peer.batchRequests() - batchesBefore;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        prober.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        double exchanges = std::ceil(static_cast<double>(entries) / 50.0) * static_cast<double>(delayMs) / 1000.0;
        std::printf("2. Service answering each batch after %ld ms, %zu entries shown\n", delayMs, entries);
        if (done) {
            std::printf("  time to all badges %.3f s; the exchanges alone take %.3f s (x%.2f); %ld batch requests by then\n", seconds, exchanges,
                        seconds / exchanges, batches);
        } else {
            std::printf("  NOT every entry was badged within 120 s\n");
            status = 1;
        }
        std::printf("  badges removed meanwhile: %ld (by setBadgeIdentifier \"\") + %ld (dropped when the observed set was emptied)\n", removals,
                    forgotten);
        printEchoes("from show until every badge is set", echoes(tally, shownAt, doneAt));
        printLoops(tally);
        trace.send("quit");
    }
    fs::remove_all(folder);
    return status;
}
