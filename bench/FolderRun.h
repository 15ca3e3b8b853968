// One folder size, end to end: the reference service on a temporary sync folder of N empty files, the stand-in
// (`vantorix-finder trace`) as a child process, the sync folder shown once the extension has declared it. Everything is measured from outside the stand-in: its trace lines (with their own time stamps),
// /proc for its CPU, threads and peak memory, and the service's request counts.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vantorix::bench {

struct SuiteOptions {
    std::string finderProgram;   // vantorix-finder
    std::string serviceProgram;  // vantorix-localservice
    std::string workDirectory;   // where the temporary folders go
    double restSeconds = 30;     // length of the window at rest
    int latencySamples = 20;     // single requests for an item never asked before
    // The extension as the session service (`vantorix-finder serve`), the folder shown through a host joined to
    // it (`trace --join`); the figures of the process are then the service's.
    bool throughService = false;
};

struct FolderFigures {
    std::size_t entries = 0;
    std::vector<std::string> paths;  // the folder's entries, in name order (for the floors)

    // From the beginObservingDirectory line to the first badge of the last entry, by the stand-in's clock.
    double secondsToAllBadges = 0;
    double cpuSecondsToAllBadges = 0;  // the stand-in's CPU over the same stretch (10 ms resolution)

    // The window at rest, which opens 0.5 s after the last first badge.
    double restSeconds = 0;
    double restCpuFraction = 0;       // the stand-in's CPU over the window, in cores
    long badgesSetAtRest = 0;         // setBadgeIdentifier calls in the window (removals included)
    long badgesRemovedAtRest = 0;     // of which removals
    long repaintsAtRest = 0;          // the observed set emptied in the window (a repaint: every badge asked again)
    long exchangesAtRest = 0;         // every request the service answered in the window
    long batchExchangesAtRest = 0;
    long completedPasses = 0;         // bursts of batch requests completed in the window (one per polling pass)
    std::vector<long> exchangesPerPass;  // batch requests of each completed burst

    long maxThreads = 0;    // the most threads the stand-in had at any sample (every 0.2 s, whole run)
    long peakRssKib = 0;    // VmHWM at the end of the window: the most the process ever held, its start included
    long restRssKib = 0;    // VmRSS at the end of the window: what it holds at rest

    // One request for an item never asked before, to its badge, by the stand-in's clock (seconds).
    std::vector<double> requestLatencies;
};

// Throws std::runtime_error when a step does not happen within its limit. `afterStandIn` runs once the stand-in
// has ended, while the service still serves the folder, with the folder's entries in name order.
FolderFigures runFolder(const SuiteOptions& options, std::size_t entries, const std::function<void(const std::vector<std::string>&)>& afterStandIn);

}  // namespace vantorix::bench
