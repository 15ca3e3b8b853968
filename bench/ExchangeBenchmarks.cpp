// The client's cost per exchange next to a bare loopback connect-write-read of the same bytes, against a peer
// that answers at once.
#include "FastPeer.h"
#include "platform/posix/PosixPlatform.h"
#include "protocol/Wire.h"
#include "service/ServiceExchange.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace vantorix;

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

// Blocking connect, one write, reads until the peer closes: the floor under any client.
std::string bareExchange(int port, const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[8192];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return answer;
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
