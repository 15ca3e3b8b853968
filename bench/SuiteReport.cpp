#include "SuiteReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace vantorix::bench {
namespace {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

const SizeResult* sizeOf(const std::vector<SizeResult>& results, std::size_t entries) {
    for (const auto& result : results) {
        if (result.folder.entries == entries) return &result;
    }
    return nullptr;
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

nlohmann::json derivedFigures(const SizeResult& result) {
    const FolderFigures& f = result.folder;
    const FloorFigures& floors = result.floors;
    std::vector<double> perPass(f.exchangesPerPass.begin(), f.exchangesPerPass.end());
    double restCpuSeconds = f.restCpuFraction * f.restSeconds;
    double batchesPerPass = std::ceil(static_cast<double>(f.entries) / 50.0);
    double endToEndPerExchange = f.secondsToAllBadges / batchesPerPass;
    double batchRate = static_cast<double>(f.batchExchangesAtRest) / f.restSeconds;
    return {
        {"entries", f.entries},
        {"time_to_all_badges_s", f.secondsToAllBadges},
        {"stand_in_cpu_to_all_badges_s", f.cpuSecondsToAllBadges},
        {"floor_bare_pass_s", floors.bare.secondsPerPass},
        {"client_pass_s", floors.client.secondsPerPass},
        {"flush_timer_s", floors.flushTimerSeconds},
        {"batches_of_one_s", floors.batchesOfOne.secondsPerPass},
        // Like with like: one pass of the client's own exchanges, batches of 50 against batches of one.
        {"speedup_over_batches_of_one", floors.batchesOfOne.secondsPerPass / floors.client.secondsPerPass},
        // The end-to-end time against the same batches of one: bounded by the stand-in's work per item.
        {"end_to_end_speedup_over_batches_of_one", floors.batchesOfOne.secondsPerPass / f.secondsToAllBadges},
        {"request_latency_median_s", median(f.requestLatencies)},
        {"request_latency_max_s", f.requestLatencies.empty() ? 0 : *std::max_element(f.requestLatencies.begin(), f.requestLatencies.end())},
        {"exchanges_per_pass_ideal", batchesPerPass},
        {"exchanges_per_pass_median", median(perPass)},
        {"exchanges_per_pass_min", perPass.empty() ? 0 : *std::min_element(perPass.begin(), perPass.end())},
        {"exchanges_per_pass_max", perPass.empty() ? 0 : *std::max_element(perPass.begin(), perPass.end())},
        {"passes_completed", f.completedPasses},
        {"passes_per_s", static_cast<double>(f.completedPasses) / f.restSeconds},
        {"rest_window_s", f.restSeconds},
        {"cpu_at_rest_percent", 100.0 * f.restCpuFraction},
        {"cpu_at_rest_floor_percent", 100.0 * batchRate * floors.bare.cpuPerExchange},
        {"badges_set_at_rest", f.badgesSetAtRest},
        {"badges_removed_at_rest", f.badgesRemovedAtRest},
        {"badges_set_per_s_at_rest", static_cast<double>(f.badgesSetAtRest) / f.restSeconds},
        {"repaints_at_rest", f.repaintsAtRest},
        {"exchanges_at_rest", f.exchangesAtRest},
        {"batch_exchanges_at_rest", f.batchExchangesAtRest},
        {"client_cpu_per_exchange_at_rest_us", f.exchangesAtRest > 0 ? 1e6 * restCpuSeconds / static_cast<double>(f.exchangesAtRest) : 0},
        {"client_exchange_cpu_us", 1e6 * floors.client.cpuPerExchange},
        {"bare_exchange_cpu_us", 1e6 * floors.bare.cpuPerExchange},
        {"client_exchange_us", 1e6 * floors.client.secondsPerExchange},
        {"bare_exchange_us", 1e6 * floors.bare.secondsPerExchange},
        {"client_over_bare_per_exchange", floors.client.secondsPerExchange / floors.bare.secondsPerExchange},
        {"end_to_end_per_exchange_us", 1e6 * endToEndPerExchange},
        {"end_to_end_over_bare_per_exchange", endToEndPerExchange / floors.bare.secondsPerExchange},
        {"threads_max", f.maxThreads},
        {"peak_rss_mb", static_cast<double>(f.peakRssKib) * 1024.0 / 1e6},
        {"rest_rss_mb", static_cast<double>(f.restRssKib) * 1024.0 / 1e6},
    };
}

void printTable(const std::vector<SizeResult>& results, bool throughService) {
    std::vector<nlohmann::json> rows;
    for (const auto& result : results) rows.push_back(derivedFigures(result));
    auto number = [](const nlohmann::json& row, const char* key) { return row.at(key).get<double>(); };

    std::printf("\nTime to all badges (from beginObservingDirectory to the last entry's first badge), beside its floors:\n");
    std::printf("(x: batches of one against the client's pass of batches of 50, and against the end-to-end time)\n");
    std::printf("%8s %11s | %10s %11s %7s %13s %7s %7s | %15s\n", "entries", "all badges", "bare pass", "client pass", "flush", "batches of 1", "x", "x e2e",
                "1 request (med)");
    for (const auto& row : rows) {
        std::printf("%8.0f %10.3fs | %9.3fs %10.3fs %6.3fs %12.3fs %7.1f %7.1f | %14.1fms\n", number(row, "entries"), number(row, "time_to_all_badges_s"),
                    number(row, "floor_bare_pass_s"), number(row, "client_pass_s"), number(row, "flush_timer_s"), number(row, "batches_of_one_s"),
                    number(row, "speedup_over_batches_of_one"), number(row, "end_to_end_speedup_over_batches_of_one"),
                    1e3 * number(row, "request_latency_median_s"));
    }
    std::printf("\nAt rest, folder shown (window of %.0f s), %s process:\n", rows.empty() ? 0.0 : number(rows[0], "rest_window_s"),
                throughService ? "session service" : "stand-in");
    std::printf("%8s %7s %8s | %9s %8s | %12s %8s | %13s %12s | %7s %9s %9s\n", "entries", "CPU", "floor", "badges/s", "repaints", "exch/pass", "passes/s",
                "CPU/exchange", "bare CPU/ex", "threads", "peak RSS", "RSS now");
    for (const auto& row : rows) {
        char perPass[32];
        std::snprintf(perPass, sizeof perPass, "%.0f (%.0f)", number(row, "exchanges_per_pass_median"), number(row, "exchanges_per_pass_ideal"));
        std::printf("%8.0f %6.2f%% %7.2f%% | %9.2f %8.0f | %12s %8.2f | %11.1fus %10.1fus | %7.0f %7.1fMB %7.1fMB\n", number(row, "entries"),
                    number(row, "cpu_at_rest_percent"), number(row, "cpu_at_rest_floor_percent"), number(row, "badges_set_per_s_at_rest"),
                    number(row, "repaints_at_rest"), perPass, number(row, "passes_per_s"), number(row, "client_cpu_per_exchange_at_rest_us"),
                    number(row, "bare_exchange_cpu_us"), number(row, "threads_max"), number(row, "peak_rss_mb"), number(row, "rest_rss_mb"));
    }
    std::printf("\nOne exchange of the folder's batches of 50 paths (wall time; CPU of the calling process):\n");
    std::printf("%8s | %11s %11s %7s | %11s %11s | %14s %7s\n", "entries", "client", "bare", "ratio", "client CPU", "bare CPU", "end to end", "ratio");
    for (const auto& row : rows) {
        std::printf("%8.0f | %9.1fus %9.1fus %7.2f | %9.1fus %9.1fus | %12.1fus %7.2f\n", number(row, "entries"), number(row, "client_exchange_us"),
                    number(row, "bare_exchange_us"), number(row, "client_over_bare_per_exchange"), number(row, "client_exchange_cpu_us"),
                    number(row, "bare_exchange_cpu_us"), number(row, "end_to_end_per_exchange_us"), number(row, "end_to_end_over_bare_per_exchange"));
    }
}

std::vector<GoalCheck> checkGoals(const std::vector<SizeResult>& results, bool throughService) {
    std::vector<GoalCheck> goals;
    bool allZero = !results.empty();
    std::string badges;
    for (const auto& result : results) {
        nlohmann::json row = derivedFigures(result);
        double perSecond = row["badges_set_per_s_at_rest"];
        allZero = allZero && result.folder.badgesSetAtRest == 0;
        badges += (badges.empty() ? "" : ", ") + std::to_string(result.folder.entries) + ": " + format("%.2f", perSecond) + "/s";
    }
    goals.push_back({"badges set per second at rest: 0 for every size", badges, allZero});
    // The session service has the tighter goals: it is the one extension of every file manager of the session.
    double at10000 = throughService ? 2.0 : 3.0, at50000 = throughService ? 8.0 : 10.0;
    for (auto [entries, limit] : {std::pair<std::size_t, double>{1000, 1.0}, {10000, at10000}, {50000, at50000}}) {
        if (const SizeResult* result = sizeOf(results, entries)) {
            nlohmann::json row = derivedFigures(*result);
            double cpu = row["cpu_at_rest_percent"];
            goals.push_back({"CPU at rest below " + format("%.0f", limit) + "% of a core at " + std::to_string(entries) + " entries",
                             format("%.2f%%", cpu) + " (floor of its exchanges alone " + format("%.2f%%", row["cpu_at_rest_floor_percent"].get<double>()) + ")",
                             cpu < limit});
        }
    }
    for (auto [entries, limit] : {std::pair<std::size_t, double>{10000, 0.3}, {50000, 1.5}}) {
        if (const SizeResult* result = sizeOf(results, entries)) {
            double seconds = result->folder.secondsToAllBadges;
            goals.push_back({"time to all badges within " + format("%.1f", limit) + " s at " + std::to_string(entries) + " entries",
                             format("%.3f s", seconds) + " (bare pass " + format("%.3f s", result->floors.bare.secondsPerPass) + ")", seconds <= limit});
        }
    }
    if (const SizeResult* result = sizeOf(results, 50000)) {
        goals.push_back({"at most 32 threads at 50000 entries", std::to_string(result->folder.maxThreads), result->folder.maxThreads <= 32});
        double megabytes = static_cast<double>(result->folder.peakRssKib) * 1024.0 / 1e6;
        goals.push_back({"peak RSS under 30 MB at 50000 entries", format("%.1f MB", megabytes), megabytes < 30.0});
    }
    if (const SizeResult* result = sizeOf(results, 10000)) {
        nlohmann::json row = derivedFigures(*result);
        double speedup = row["speedup_over_batches_of_one"];
        double endToEndSpeedup = row["end_to_end_speedup_over_batches_of_one"];
        goals.push_back({"batched at least 20x faster than batches of one at 10000 entries (the client's exchanges)",
                         format("%.1fx", speedup) + " (" + format("%.3f s", result->floors.client.secondsPerPass) + " against " +
                             format("%.3f s", result->floors.batchesOfOne.secondsPerPass) + ")",
                         speedup >= 20});
        goals.push_back({"batched at least 20x faster than batches of one at 10000 entries (end to end)",
                         format("%.1fx", endToEndSpeedup) + " (" + format("%.3f s", result->folder.secondsToAllBadges) + " to all badges)", endToEndSpeedup >= 20});
        double ratio = row["client_over_bare_per_exchange"];
        double endToEnd = row["end_to_end_over_bare_per_exchange"];
        goals.push_back({"client exchange within 1.5x the bare exchange (10000 entries, batches of 50)",
                         format("x%.2f", ratio) + " (" + format("%.1f us", row["client_exchange_us"].get<double>()) + " vs " +
                             format("%.1f us", row["bare_exchange_us"].get<double>()) + ")",
                         ratio <= 1.5});
        goals.push_back({"end to end per exchange within 1.5x the bare exchange (10000 entries)",
                         format("x%.2f", endToEnd) + " (" + format("%.1f us", row["end_to_end_per_exchange_us"].get<double>()) + " per exchange)", endToEnd <= 1.5});
    }
    return goals;
}

void printGoals(const std::vector<GoalCheck>& goals) {
    std::printf("\nGoals:\n");
    for (const auto& goal : goals) std::printf("  [%s] %s: %s\n", goal.met ? "met   " : "MISSED", goal.goal.c_str(), goal.measured.c_str());
}

nlohmann::json runRecord(nlohmann::json machine, const std::vector<SizeResult>& results, const std::vector<GoalCheck>& goals) {
    nlohmann::json sizes = nlohmann::json::array();
    for (const auto& result : results) {
        nlohmann::json row = derivedFigures(result);
        row["exchanges_per_pass"] = result.folder.exchangesPerPass;
        row["request_latencies_s"] = result.folder.requestLatencies;
        sizes.push_back(row);
    }
    nlohmann::json checks = nlohmann::json::array();
    for (const auto& goal : goals) checks.push_back({{"goal", goal.goal}, {"measured", goal.measured}, {"met", goal.met}});
    machine["sizes"] = sizes;
    machine["goals"] = checks;
    return machine;
}

void writePlotData(const std::string& path, const std::vector<SizeResult>& results) {
    std::ofstream out(path);
    out << "# entries all_badges_s bare_pass_s client_pass_s batches_of_one_s cpu_at_rest_percent cpu_at_rest_floor_percent\n";
    for (const auto& result : results) {
        nlohmann::json row = derivedFigures(result);
        out << result.folder.entries << ' ' << row["time_to_all_badges_s"].get<double>() << ' ' << row["floor_bare_pass_s"].get<double>() << ' '
            << row["client_pass_s"].get<double>() << ' ' << row["batches_of_one_s"].get<double>() << ' ' << row["cpu_at_rest_percent"].get<double>() << ' '
            << row["cpu_at_rest_floor_percent"].get<double>() << '\n';
    }
}

}  // namespace vantorix::bench
