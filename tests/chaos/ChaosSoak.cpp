// The chaos soak: the stand-in shows a sync folder of 1,000 files in four folders while this driver, from a
// printed seed, kills and restarts the reference service, freezes it, and makes a proxy in front of it refuse,
// stall, answer garbage, answer late or close early; statuses change and notifications are posted throughout.
// Checked all along: every stand-in command is answered within the latency limit; after each recovery every shown
// badge equals the service's status, with nothing left queued, within 6 s; memory, threads and descriptors stay
// bounded; no process crashes. Run it in a private network namespace and session bus (tests/chaos/run).
#include "TraceProcess.h"
#include "LoopbackPeer.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <set>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantorix::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

enum class Fault { kill, freeze, refuse, stall, garbage, late, closeEarly };
const char* kFaultNames[] = {"kill", "freeze", "refuse", "stall", "garbage", "late", "close-early"};
constexpr int kServicePort = 27836;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What a proxied connection meets: the service, or one of the faults the proxy plays.
class Proxy {
public:
    std::atomic<Fault*> fault{nullptr};  // nothing: pass through
    Proxy() : acceptor_([this] { acceptLoop(); }) {}
    ~Proxy() {
        stopping_ = true;
        acceptor_.join();
        while (connections_ > 0) std::this_thread::sleep_for(10ms);
    }

private:
    void acceptLoop() {
        int listener = -1, port = 0;
        while (!stopping_) {
            Fault* now = fault.load();
            bool refusing = now != nullptr && (*now == Fault::refuse || *now == Fault::kill);
            if (refusing && listener >= 0) ::close(listener), listener = -1;
            if (!refusing && listener < 0) listener = listenOnLoopback(27835, false, port, "the chaos proxy");
            pollfd ready{listener, POLLIN, 0};
            if (listener < 0 || ::poll(&ready, 1, 20) <= 0) {
                if (listener < 0) std::this_thread::sleep_for(20ms);
                continue;
            }
            int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++connections_;
            std::thread([this, client, mode = now ? *now : Fault::kill, pass = now == nullptr] {
                serve(client, pass, mode);
                ::close(client);
                --connections_;
            }).detach();
        }
        if (listener >= 0) ::close(listener);
    }

    static std::string readAll(int fd, std::size_t limit, std::chrono::milliseconds wait, bool lineOnly) {
        std::string bytes;
        char buffer[8192];
        pollfd ready{fd, POLLIN, 0};
        while (bytes.size() < limit && ::poll(&ready, 1, static_cast<int>(wait.count())) > 0) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            bytes.append(buffer, static_cast<std::size_t>(n));
            if (lineOnly && bytes.find('\n') != std::string::npos) break;
        }
        return bytes;
    }

    void serve(int client, bool pass, Fault mode) {
        std::string request = readAll(client, 1 << 20, 10s, true);
        if (!pass && mode == Fault::closeEarly) return;
        if (!pass && mode == Fault::stall) {
            readAll(client, 1, 30s, false);  // until the client gives up
            return;
        }
        if (!pass && mode == Fault::garbage) {
            static const char* junk[] = {"\xFF\xFE garbage\n", "PONG|PONG|PONG\n", "0|1|2|3|4|5|6|7\n", "ERROR: nope\n", "\n"};
            std::string answer = junk[std::hash<std::string>{}(request) % 5];
            ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
            return;
        }
        int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kServicePort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            ::send(upstream, request.data(), request.size(), MSG_NOSIGNAL);
            std::string answer = readAll(upstream, 1 << 20, 10s, false);
            if (!pass && mode == Fault::late) std::this_thread::sleep_for(std::chrono::milliseconds(2000 + answer.size() % 3000));
            ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);  // one write: the client reads once
        }
        ::close(upstream);
    }

    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
};

struct Options {
    std::string finder, service;
    int seconds = 600;
    unsigned seed = 0;
    int latencyLimitMs = 50;
};

class Soak {
public:
    explicit Soak(Options options) : options_(std::move(options)), random_(options_.seed) {
        root_ = fs::temp_directory_path() / ("vantorix-chaos-" + std::to_string(::getpid())) / "Vantorix";
        for (int folder = 0; folder < 4; ++folder) {
            fs::path dir = root_ / ("folder" + std::to_string(folder));
            fs::create_directories(dir);
            items_.push_back(dir.string());
            for (int i = 0; i < 250; ++i) {
                std::ofstream(dir / ("file" + std::to_string(i) + ".txt")) << i;
                items_.push_back((dir / ("file" + std::to_string(i) + ".txt")).string());
            }
        }
        for (const auto& item : items_) truth_[item] = "0";
        writeStatusFile();
    }
    ~Soak() {
        stopService();
        fs::remove_all(root_.parent_path());
    }

    int run() {
        std::printf("chaos soak: seed %u, %d s, %zu items shown, command latency limit %d ms\n", options_.seed, options_.seconds, items_.size(),
                    options_.latencyLimitMs);
        startService();
        TraceProcess finder(options_.finder, [this](const nlohmann::json& line, Clock::time_point at) { onLine(line, at); });
        finderPid_ = finder.pid();
        finder_ = &finder;
        start_ = Clock::now();
        if (!waitUntil([&] { return declared_.load(); }, 20s)) return report("the sync folder was never declared");
        finder.send("show " + root_.string());
        for (int folder = 0; folder < 4; ++folder) finder.send("show " + items_[static_cast<std::size_t>(folder) * 251]);
        std::thread probe([&] { probeLoop(); });
        if (!converge(20s)) violation("the first badges did not all arrive within 20 s");
        Clock::time_point minute = Clock::now();
        while (since(start_) < options_.seconds) {
            healthyPhase(std::chrono::milliseconds(std::uniform_int_distribution<int>(2000, 8000)(random_)));
            Fault fault = static_cast<Fault>(std::uniform_int_distribution<int>(0, 6)(random_));
            inject(fault, std::chrono::milliseconds(std::uniform_int_distribution<int>(1000, 10000)(random_)));
            sample();
            if (Clock::now() - minute >= 60s || since(start_) >= options_.seconds) printMinute(), minute = Clock::now();
        }
        running_ = false;
        probe.join();
        finder.send("quit");
        if (finder.waitForExit(10s) != 0) violation("the stand-in did not end cleanly");
        return report("");
    }

private:
    void onLine(const nlohmann::json& line, Clock::time_point at) {
        std::lock_guard lock(mutex_);
        std::string call = line.value("call", "");
        if (call == "setDirectoryURLs" && !line["urls"].empty()) declared_ = true;
        if (call == "setBadgeIdentifier") badges_[line.value("path", "")] = line.value("badge", "");
        if (call == "endObservingDirectory") {
            std::string folder = line.value("path", "") + "/";
            std::erase_if(badges_, [&](const auto& entry) { return entry.first.rfind(folder, 0) == 0; });
        }
        if (call == "status") backlogEmpty_ = line.value("queued", 1) == 0 && line.value("inFlight", 1) == 0 && line.value("retrying", 1) == 0;
        if (call == "requestBadgeIdentifier") {
            if (auto sent = probesSent_.find(line.value("path", "")); sent != probesSent_.end()) {
                worstLatency_ = std::max(worstLatency_, std::chrono::duration<double, std::milli>(at - sent->second).count());
                probesSent_.erase(sent);
            }
        }
    }

    void probeLoop() {
        for (int n = 0; running_; ++n) {
            std::string path = "/nowhere/probe" + std::to_string(n);
            {
                std::lock_guard lock(mutex_);
                for (const auto& [lost, sent] : probesSent_) {
                    if (Clock::now() - sent > 1s) worstLatency_ = std::max(worstLatency_, 1000.0);
                }
                probesSent_[path] = Clock::now();
            }
            finder_->send("request " + path);
            std::this_thread::sleep_for(100ms);
        }
    }

    bool converged() {
        std::lock_guard lock(mutex_);
        for (const auto& item : items_) {
            auto shown = badges_.find(item);
            if (shown == badges_.end() || shown->second != badgeFor(truth_[item])) return false;
        }
        return backlogEmpty_;
    }

    bool converge(std::chrono::milliseconds limit) {
        return waitUntil([&] {
            finder_->send("status");
            std::this_thread::sleep_for(20ms);
            return converged();
        }, limit);
    }

    void healthyPhase(std::chrono::milliseconds length) {
        for (auto end = Clock::now() + length; Clock::now() < end; std::this_thread::sleep_for(700ms)) {
            changeStatuses();
            sample();
        }
    }

    void inject(Fault fault, std::chrono::milliseconds length) {
        ++faults_[static_cast<int>(fault)];
        if (fault == Fault::kill) ::kill(servicePid_, SIGKILL), ::waitpid(servicePid_, nullptr, 0), servicePid_ = -1;
        if (fault == Fault::freeze) ::kill(servicePid_, SIGSTOP);
        static Fault faults[7] = {Fault::kill, Fault::freeze, Fault::refuse, Fault::stall, Fault::garbage, Fault::late, Fault::closeEarly};
        if (fault != Fault::freeze) proxy_.fault = &faults[static_cast<int>(fault)];
        for (auto end = Clock::now() + length; Clock::now() < end; std::this_thread::sleep_for(500ms)) {
            if (std::bernoulli_distribution(0.3)(random_)) changeStatuses();
            sample();
        }
        // Recovery: the service back and honest. Statuses stand still until the badges have converged.
        if (fault == Fault::kill) startService();
        if (fault == Fault::freeze) ::kill(servicePid_, SIGCONT);
        proxy_.fault = nullptr;
        auto recovered = Clock::now();
        std::this_thread::sleep_for(300ms);  // the service re-reads its status file at most every 250 ms
        bool ok = converge(6s);
        double took = since(recovered);
        worstConvergence_ = std::max(worstConvergence_, took);
        ++recoveries_;
        if (!ok) violation(std::string("badges not converged 6 s after recovering from ") + kFaultNames[static_cast<int>(fault)]);
    }

    void changeStatuses() {
        std::lock_guard lock(mutex_);
        int count = std::uniform_int_distribution<int>(1, 5)(random_);
        for (int k = 0; k < count; ++k) {
            const std::string& item = items_[std::uniform_int_distribution<std::size_t>(0, items_.size() - 1)(random_)];
            truth_[item] = std::to_string(std::uniform_int_distribution<int>(0, 7)(random_));
            if (std::bernoulli_distribution(0.2)(random_)) {
                finder_->send("post VantorixStatusChanged {\"paths\":[\"" + item + "\"],\"sync_state\":[{\"path\":\"" + item + "\",\"state\":\"" + truth_[item] + "\"}]}");
            }
        }
        if (std::bernoulli_distribution(0.1)(random_)) finder_->send("post VantorixStatusChanged {\"paths\":42,\"sync_state\":\"garbage\"}");
        writeStatusFile();
    }

    void writeStatusFile() {
        std::ofstream file(root_.parent_path() / "rules.new");
        for (const auto& [item, code] : truth_) {
            if (code != "0") file << code << " " << item << "\n";
        }
        file.close();
        fs::rename(root_.parent_path() / "rules.new", root_.parent_path() / "rules");
    }

    static std::string badgeFor(const std::string& code) {
        static const std::map<std::string, std::string> badges{{"0", "success"}, {"1", "sync"},     {"2", "sync"},    {"3", "error"},
                                                               {"4", "exclude"}, {"5", "readonly"}, {"6", "company"}, {"7", "shared"}};
        return badges.at(code);
    }

    void startService() {
        servicePid_ = ::fork();
        if (servicePid_ == 0) {
            ::close_range(3, ~0U, 0);
            ::execl(options_.service.c_str(), "vantorix-localservice", "--root", root_.c_str(), "--status-file", (root_.parent_path() / "rules").c_str(),
                    "--port", std::to_string(kServicePort).c_str(), nullptr);
            std::_Exit(127);
        }
        std::this_thread::sleep_for(200ms);
    }
    void stopService() {
        if (servicePid_ <= 0) return;
        ::kill(servicePid_, SIGCONT);
        ::kill(servicePid_, SIGTERM);
        ::waitpid(servicePid_, nullptr, 0);
        servicePid_ = -1;
    }

    // The stand-in's resident memory (MB), threads and open descriptors; a crash is a violation.
    void sample() {
        int status = 0;
        if (::waitpid(finderPid_, &status, WNOHANG) == finderPid_) violation("the stand-in ended: status " + std::to_string(status)), std::_Exit(report(""));
        std::ifstream proc("/proc/" + std::to_string(finderPid_) + "/status");
        std::string key;
        double rss = 0;
        int threads = 0;
        while (proc >> key) {
            if (key == "VmRSS:") proc >> rss;
            if (key == "Threads:") proc >> threads;
        }
        int fds = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(finderPid_) + "/fd")) ++fds;
        samples_.push_back({since(start_), rss / 1024, threads, fds});
        if (rss / 1024 > 64 || threads > 64 || fds > 64) violation("resources beyond bounds: " + std::to_string(rss / 1024) + " MB, " + std::to_string(threads) + " threads, " + std::to_string(fds) + " descriptors");
        double latency;
        {
            std::lock_guard lock(mutex_);
            latency = worstLatency_;
            minuteLatency_ = std::max(minuteLatency_, worstLatency_);
            worstLatency_ = 0;
        }
        overallLatency_ = std::max(overallLatency_, latency);
        if (latency > options_.latencyLimitMs) violation("a stand-in command waited " + std::to_string(latency) + " ms");
    }

    void printMinute() {
        const auto& last = samples_.back();
        int total = 0;
        for (int count : faults_) total += count;
        std::printf("%5.0f s: %d faults, %d recoveries, worst convergence %.2f s, worst command %.1f ms, %.1f MB, %d threads, %d fds\n", since(start_),
                    total, recoveries_, worstConvergence_, minuteLatency_, last.rss, last.threads, last.fds);
        std::fflush(stdout);
        minuteLatency_ = 0;
    }

    void violation(const std::string& what) {
        ++violations_;
        std::printf("VIOLATION at %.1f s (seed %u): %s\n", since(start_), options_.seed, what.c_str());
        std::fflush(stdout);
    }

    int report(const std::string& fatal) {
        if (!fatal.empty()) violation(fatal);
        // No growth trend: the last third of the run holds no more memory than a quarter above the first third.
        if (samples_.size() >= 30) {
            auto third = samples_.size() / 3;
            double early = 0, late = 0;
            for (std::size_t i = 0; i < third; ++i) early = std::max(early, samples_[i].rss);
            for (std::size_t i = samples_.size() - third; i < samples_.size(); ++i) late = std::max(late, samples_[i].rss);
            if (late > early * 1.25 + 1) violation("memory grew from " + std::to_string(early) + " MB to " + std::to_string(late) + " MB");
        }
        double rss = 0;
        int threads = 0, fds = 0;
        for (const auto& s : samples_) rss = std::max(rss, s.rss), threads = std::max(threads, s.threads), fds = std::max(fds, s.fds);
        std::printf("\n| seed | seconds | faults | recoveries | worst convergence | worst command | peak RSS | peak threads | peak fds | violations |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
        int total = 0;
        std::string byKind;
        for (int k = 0; k < 7; ++k) total += faults_[k], byKind += std::string(k ? ", " : "") + kFaultNames[k] + " " + std::to_string(faults_[k]);
        std::printf("| %u | %.0f | %d (%s) | %d | %.2f s | %.1f ms | %.1f MB | %d | %d | %d |\n", options_.seed, since(start_), total, byKind.c_str(), recoveries_,
                    worstConvergence_, overallLatency_, rss, threads, fds, violations_);
        return violations_ == 0 ? 0 : 1;
    }

    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
        for (auto end = Clock::now() + limit; Clock::now() < end;) {
            if (condition()) return true;
            std::this_thread::sleep_for(50ms);
        }
        return condition();
    }

    struct Sample {
        double at, rss;
        int threads, fds;
    };
    Options options_;
    std::mt19937 random_;
    fs::path root_;
    std::vector<std::string> items_;
    std::map<std::string, std::string> truth_;  // guarded by mutex_
    Proxy proxy_;
    TraceProcess* finder_ = nullptr;
    pid_t finderPid_ = -1, servicePid_ = -1;
    Clock::time_point start_;
    std::mutex mutex_;
    std::map<std::string, std::string> badges_;  // guarded by mutex_: what the stand-in shows
    std::map<std::string, Clock::time_point> probesSent_;  // guarded by mutex_
    double worstLatency_ = 0, minuteLatency_ = 0, overallLatency_ = 0;  // worstLatency_ guarded by mutex_
    bool backlogEmpty_ = false;  // guarded by mutex_
    std::atomic<bool> declared_{false}, running_{true};
    std::vector<Sample> samples_;
    int faults_[7] = {};
    int recoveries_ = 0, violations_ = 0;
    double worstConvergence_ = 0;
};

}  // namespace
}  // namespace vantorix::testing

int main(int argc, char** argv) {
    vantorix::testing::Options options;
    options.seed = static_cast<unsigned>(std::random_device{}());
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i], value = argv[i + 1];
        if (option == "--finder") options.finder = value;
        else if (option == "--service") options.service = value;
        else if (option == "--seconds") options.seconds = std::stoi(value);
        else if (option == "--seed") options.seed = static_cast<unsigned>(std::stoul(value));
        else if (option == "--latency-limit-ms") options.latencyLimitMs = std::stoi(value);
    }
    if (options.finder.empty() || options.service.empty()) {
        std::fprintf(stderr, "usage: vantorix-chaos --finder PATH --service PATH [--seconds N] [--seed N] [--latency-limit-ms N]\n"
                             "Run it in a private network namespace and session bus: tests/chaos/run does.\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    return vantorix::testing::Soak(options).run();
}
