// The client's cost per exchange next to a bare loopback connect-write-read of the same bytes, against a peer
// that answers at once.
#include "BareExchange.h"
#include "FastPeer.h"
#include "platforms/posix/PosixPlatform.h"
#include "protocol/Wire.h"
#include "service/ServiceExchange.h"

#include <benchmark/benchmark.h>

namespace {

using namespace vantorix;
using bench::bareExchange;

posix::PosixPlatform& platform() {
    static posix::PosixPlatform instance;
    return instance;
}

bench::FastPeer& peer() {
    static bench::FastPeer instance(0, "/Users/someone/Vantorix");
    return instance;
}

std::string fiftyPaths() {
    std::vector<std::string> paths;
    for (int i = 0; i < 50; ++i) paths.push_back("/Users/someone/Vantorix/Documents/report-" + std::to_string(i) + ".pdf");
    return joinPaths(paths);
}

void BM_PingExchange(benchmark::State& state) {
    int port = peer().port();
    for (auto _ : state) {
        ExchangeOutcome outcome = runServiceExchange(platform(), "127.0.0.1", port, pingExchange());
        if (outcome.response != "PONG") state.SkipWithError("no PONG");
    }
}
BENCHMARK(BM_PingExchange)->UseRealTime();

void BM_BarePingExchange(benchmark::State& state) {
    int port = peer().port();
    for (auto _ : state) benchmark::DoNotOptimize(bareExchange(port, "PING\n"));
}
BENCHMARK(BM_BarePingExchange)->UseRealTime();

void BM_BatchExchangeOfFifty(benchmark::State& state) {
    int port = peer().port();
    std::string paths = fiftyPaths();
    for (auto _ : state) {
        ExchangeOutcome outcome = runServiceExchange(platform(), "127.0.0.1", port, batchStatusExchange(paths));
        if (!outcome.response || countPieces(*outcome.response) != 50) state.SkipWithError("wrong answer");
    }
}
BENCHMARK(BM_BatchExchangeOfFifty)->UseRealTime();

void BM_BareBatchExchangeOfFifty(benchmark::State& state) {
    int port = peer().port();
    std::string request = "BATCH_STATUS:" + fiftyPaths() + "\n";
    for (auto _ : state) benchmark::DoNotOptimize(bareExchange(port, request));
}
BENCHMARK(BM_BareBatchExchangeOfFifty)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
