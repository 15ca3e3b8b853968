#include "Floors.h"

#include "BareExchange.h"
#include "ProcessProbe.h"
#include "VantorixFinderSync.h"
#include "protocol/Wire.h"
#include "service/ServiceExchange.h"

#include <chrono>
#include <functional>
#include <stdexcept>

namespace vantorix::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The paths cut as the batch queue cuts them: `size` per exchange, in order.
std::vector<std::string> joinedBatches(const std::vector<std::string>& paths, std::size_t size) {
    std::vector<std::string> batches;
    for (std::size_t i = 0; i < paths.size(); i += size) {
        std::vector<std::string> batch(paths.begin() + static_cast<std::ptrdiff_t>(i), paths.begin() + static_cast<std::ptrdiff_t>(std::min(paths.size(), i + size)));
        batches.push_back(joinPaths(batch));
    }
    return batches;
}

// Runs `exchange` over every batch, pass after pass, until `minimum` seconds have gone by.
PassFigures timePasses(const std::vector<std::string>& batches, double minimum, const std::function<void(const std::string&)>& exchange) {
    long passes = 0;
    double cpuStart = ownCpuSeconds();
    auto start = Clock::now();
    double elapsed = 0;
    do {
        for (const auto& batch : batches) exchange(batch);
        ++passes;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < minimum);
    double cpu = ownCpuSeconds() - cpuStart;
    PassFigures figures;
    figures.exchanges = static_cast<long>(batches.size());
    figures.secondsPerPass = elapsed / static_cast<double>(passes);
    double exchanges = static_cast<double>(passes) * static_cast<double>(batches.size());
    figures.secondsPerExchange = elapsed / exchanges;
    figures.cpuPerExchange = cpu / exchanges;
    return figures;
}

void expectCodes(std::size_t got, const std::string& batch) {
    if (got != countPieces(batch)) throw std::runtime_error("a floor exchange got " + std::to_string(got) + " codes for " + std::to_string(countPieces(batch)) + " paths");
}

}  // namespace

FloorFigures measureFloors(Platform& platform, const std::vector<std::string>& paths, double minimum) {
    const auto batchSize = static_cast<std::size_t>(BatchConfig{}.maxSize);
    std::vector<std::string> batches = joinedBatches(paths, batchSize);
    std::vector<std::string> ones = joinedBatches(paths, 1);
    auto bare = [](const std::string& batch) {
        std::string answer = bareExchange(kServicePort, batchStatusRequest(batch));
        expectCodes(countPieces(answer.substr(0, answer.find('\n'))), batch);
    };
    auto client = [&platform](const std::string& batch) {
        ExchangeOutcome outcome = runServiceExchange(platform, kServiceHost, kServicePort, batchStatusExchange(batch));
        expectCodes(outcome.response ? countPieces(*outcome.response) : 0, batch);
    };
    // The bare and the client exchanges alternate, twice each, and the faster round of each counts: a machine
    // shared with other work slows one round, rarely both.
    FloorFigures figures;
    for (int round = 0; round < 2; ++round) {
        PassFigures bareRound = timePasses(batches, minimum, bare);
        PassFigures clientRound = timePasses(batches, minimum, client);
        if (round == 0 || bareRound.secondsPerExchange < figures.bare.secondsPerExchange) figures.bare = bareRound;
        if (round == 0 || clientRound.secondsPerExchange < figures.client.secondsPerExchange) figures.client = clientRound;
    }
    figures.batchesOfOne = timePasses(ones, minimum, client);
    figures.flushTimerSeconds = toSeconds(BatchConfig{}.timeout);
    return figures;
}

}  // namespace vantorix::bench
