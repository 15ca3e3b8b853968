// The chaos soak: the stand-in shows a sync folder of 1,000 files in four folders while this driver, from a
// printed seed, kills and restarts the reference service, freezes it, and makes it refuse, stall, answer
// garbage, answer late or close early; statuses change and notifications are posted throughout.
// Checked all along: every stand-in command is answered within the latency limit; after each recovery every shown
// badge equals the service's status, with nothing left queued, within 6 s; memory, threads and descriptors stay
// bounded; no process crashes. With --figures-only (the test suite, on shared machines) the latencies and
// convergence times are figures of the report, not bounds: a command still unanswered after 30 s is lost and a
// recovery that has not converged after 60 s never did, whatever the load. Run it in a private network namespace
// and session bus (tests/chaos/run).
#include "ChildProcess.h"
#include "TraceProcess.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace vantorix::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The first two are done to the service's process; the others it plays itself, told through its faults file.
enum Fault { kill, freeze, refuse, stall, garbage, late, closeEarly, kFaults };
const char* kFaultNames[] = {"kill", "freeze", "refuse", "stall", "garbage", "late", "close"};

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Options {
    std::string finder, service;
    int seconds = 600, latencyLimitMs = 50, memoryLimitMb = 64;
    bool figuresOnly = false;
    unsigned seed = std::random_device{}();
};

class Soak {
public:
    explicit Soak(Options options) : options_(std::move(options)), random_(options_.seed) {
        for (int folder = 0; folder < 4; ++folder) {
            fs::path dir = root_ / ("folder" + std::to_string(folder));
            fs::create_directories(dir);
            items_.push_back(dir.string());
            for (int i = 0; i < 250; ++i) std::ofstream(items_.emplace_back((dir / ("file" + std::to_string(i) + ".txt")).string())) << i;
        }
        for (const auto& item : items_) truth_[item] = "0";
        writeStatusFile();
    }
    ~Soak() {
        if (servicePid_ > 0) ::kill(servicePid_, SIGCONT), ::kill(servicePid_, SIGTERM), ::waitpid(servicePid_, nullptr, 0);
    }

    int run() {
        std::printf("chaos soak: seed %u, %d s, %zu items shown, %s\n", options_.seed, options_.seconds, items_.size(),
                    options_.figuresOnly ? "latencies as figures" : ("command latency limit " + std::to_string(options_.latencyLimitMs) + " ms").c_str());
        startService();
        TraceProcess finder(options_.finder, [this](const nlohmann::json& line, Clock::time_point at) { onLine(line, at); });
        finder_ = &finder;
        start_ = Clock::now();
        if (!eventually([&] { return declared_.load(); }, 20s)) return report("the sync folder was never declared");
        finder.send("show " + root_.string());
        for (int folder = 0; folder < 4; ++folder) finder.send("show " + items_[static_cast<std::size_t>(folder) * 251]);
        std::thread probe([&] {
            for (int n = 0; running_; ++n, std::this_thread::sleep_for(100ms)) {
                std::string path = "/nowhere/probe" + std::to_string(n);
                std::lock_guard lock(mutex_);
                probesSent_[path] = Clock::now();
                finder.send("request " + path);
            }
        });
        if (!converge(20s)) violation("the first badges did not all arrive within 20 s");
        for (Clock::time_point minute = Clock::now(); since(start_) < options_.seconds;) {
            during(std::uniform_int_distribution<int>(4, 16)(random_), 1.0);
            inject(static_cast<Fault>(std::uniform_int_distribution<int>(0, kFaults - 1)(random_)));
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
        std::string call = line.value("call", ""), path = line.value("path", "");
        if (call == "setDirectoryURLs" && !line["urls"].empty()) declared_ = true;
        if (call == "setBadgeIdentifier") badges_[path] = line.value("badge", "");
        if (call == "endObservingDirectory") std::erase_if(badges_, [&](const auto& entry) { return entry.first.rfind(path + "/", 0) == 0; });
        if (call == "status") backlogEmpty_ = line.value("queued", 1) + line.value("inFlight", 1) + line.value("retrying", 1) == 0;
        if (auto sent = probesSent_.find(path); call == "requestBadgeIdentifier" && sent != probesSent_.end()) {
            worstLatency_ = std::max(worstLatency_, std::chrono::duration<double, std::milli>(at - sent->second).count());
            probesSent_.erase(sent);
        }
    }

    bool converge(std::chrono::milliseconds limit) {
        return eventually([&] {
            finder_->send("status");
            std::this_thread::sleep_for(20ms);
            std::lock_guard lock(mutex_);
            for (const auto& item : items_) {
                if (auto shown = badges_.find(item); shown == badges_.end() || shown->second != badgeFor(truth_[item])) return false;
            }
            return backlogEmpty_;
        }, limit, 50ms);
    }

    // Half-second steps: statuses change at each with `chance`, and the stand-in is watched. A count of steps, not
    // a deadline, so that the seed alone decides every choice of the run.
    void during(int steps, double chance) {
        for (; steps > 0; --steps, std::this_thread::sleep_for(500ms)) {
            if (std::bernoulli_distribution(chance)(random_)) changeStatuses();
            sample();
        }
    }

    void inject(Fault fault) {
        ++faults_[fault];
        if (fault == kill) ::kill(servicePid_, SIGKILL), ::waitpid(servicePid_, nullptr, 0), servicePid_ = -1;
        if (fault == freeze) ::kill(servicePid_, SIGSTOP);
        if (fault > freeze) writeFile("faults", kFaultNames[fault]);
        during(std::uniform_int_distribution<int>(2, 20)(random_), 0.3);
        // Recovery: the service back and honest; statuses stand still until the badges have converged.
        if (fault == kill) startService();
        if (fault == freeze) ::kill(servicePid_, SIGCONT);
        if (fault > freeze) writeFile("faults", "none");
        auto recovered = Clock::now();
        std::this_thread::sleep_for(300ms);  // the service re-reads its files every 250 ms
        auto limit = options_.figuresOnly ? 60s : 6s;
        if (!converge(limit)) violation("badges not converged " + std::to_string(limit.count()) + " s after recovering from " + kFaultNames[fault]);
        worstConvergence_ = std::max(worstConvergence_, since(recovered));
        ++recoveries_;
    }

    void changeStatuses() {
        std::lock_guard lock(mutex_);
        for (int k = std::uniform_int_distribution<int>(1, 5)(random_); k > 0; --k) {
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
        std::string rules;
        for (const auto& [item, code] : truth_) rules += code == "0" ? "" : code + " " + item + "\n";
        writeFile("rules", rules);
    }

    // Whole or not at all: the service never reads half a file.
    void writeFile(const std::string& name, const std::string& text) {
        std::ofstream(root_.parent_path() / (name + ".new")) << text;
        fs::rename(root_.parent_path() / (name + ".new"), root_.parent_path() / name);
    }

    static std::string badgeFor(const std::string& code) {
        static const char* badges[] = {"success", "sync", "sync", "error", "exclude", "readonly", "company", "shared"};
        return badges[code[0] - '0'];
    }

    void startService() {
        servicePid_ = spawn({options_.service, "--root", root_, "--status-file", root_.parent_path() / "rules", "--faults", root_.parent_path() / "faults"},
                            "/dev/stderr");
        std::this_thread::sleep_for(200ms);
    }

    // The stand-in's resident memory, threads and open descriptors, and the slowest command since the last sample.
    void sample() {
        int status = 0;
        if (::waitpid(finder_->pid(), &status, WNOHANG) == finder_->pid()) violation("the stand-in ended, status " + std::to_string(status)), std::_Exit(report(""));
        std::ifstream proc("/proc/" + std::to_string(finder_->pid()) + "/status");
        Sample now{0, 0, 0};
        for (std::string key; proc >> key;) {
            if (key == "VmRSS:") proc >> now.rss, now.rss /= 1024;
            if (key == "Threads:") proc >> now.threads;
        }
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(finder_->pid()) + "/fd")) ++now.fds;
        samples_.push_back(now);
        if (now.rss > options_.memoryLimitMb || now.threads > 64 || now.fds > 64) violation("beyond bounds: " + std::to_string(now.rss) + " MB, " + std::to_string(now.threads) + " threads, " + std::to_string(now.fds) + " fds");
        std::lock_guard lock(mutex_);
        auto lostAfter = options_.figuresOnly ? 30s : 1s;
        bool lost = std::ranges::any_of(probesSent_, [&](const auto& probe) { return Clock::now() - probe.second > lostAfter; });
        if (lost && options_.figuresOnly) violation("a stand-in command was not answered within 30 s");
        if (lost) worstLatency_ = std::max(worstLatency_, 1000.0);
        if (!options_.figuresOnly && worstLatency_ > options_.latencyLimitMs) violation("a stand-in command waited " + std::to_string(worstLatency_) + " ms");
        minuteLatency_ = std::max(minuteLatency_, worstLatency_), overallLatency_ = std::max(overallLatency_, worstLatency_), worstLatency_ = 0;
    }

    int faultCount() const { return std::accumulate(std::begin(faults_), std::end(faults_), 0); }

    void printMinute() {
        std::printf("%5.0f s: %d faults, %d recoveries, worst convergence %.2f s, worst command %.1f ms, %.1f MB, %d threads, %d fds\n", since(start_),
                    faultCount(), recoveries_, worstConvergence_, minuteLatency_, samples_.back().rss, samples_.back().threads, samples_.back().fds);
        minuteLatency_ = 0;
    }

    void violation(const std::string& what) {
        ++violations_;
        std::printf("VIOLATION at %.1f s (seed %u): %s\n", since(start_), options_.seed, what.c_str());
    }

    int report(const std::string& fatal) {
        if (!fatal.empty()) violation(fatal);
        Sample peak{0, 0, 0};
        double early = 0, late = 0;
        for (std::size_t i = 0; i < samples_.size(); ++i) {
            peak = {std::max(peak.rss, samples_[i].rss), std::max(peak.threads, samples_[i].threads), std::max(peak.fds, samples_[i].fds)};
            if (i < samples_.size() / 3) early = std::max(early, samples_[i].rss);
            if (i >= samples_.size() * 2 / 3) late = std::max(late, samples_[i].rss);
        }
        // No growth trend: the last third of the run holds no more than a quarter above the first third.
        if (samples_.size() >= 30 && late > early * 1.25 + 1) violation("memory grew from " + std::to_string(early) + " MB to " + std::to_string(late) + " MB");
        std::string byKind;
        for (int k = 0; k < kFaults; ++k) byKind += std::string(k ? ", " : "") + kFaultNames[k] + " " + std::to_string(faults_[k]);
        std::printf("\n| seed | seconds | faults | recoveries | worst convergence | worst command | peak RSS | peak threads | peak fds | violations |\n"
                    "|---|---|---|---|---|---|---|---|---|---|\n| %u | %.0f | %d (%s) | %d | %.2f s | %.1f ms | %.1f MB | %d | %d | %d |\n",
                    options_.seed, since(start_), faultCount(), byKind.c_str(), recoveries_, worstConvergence_, overallLatency_, peak.rss, peak.threads, peak.fds, violations_);
        return violations_ == 0 ? 0 : 1;
    }

    struct Sample { double rss; int threads, fds; };
    Options options_;
    std::mt19937 random_;
    TemporaryFolder folder_{"vantorix-chaos"};  // the rules and faults files, and the sync folder in it
    fs::path root_ = folder_.path / "Vantorix";
    std::vector<std::string> items_;
    TraceProcess* finder_ = nullptr;
    pid_t servicePid_ = -1;
    Clock::time_point start_;
    std::mutex mutex_;  // guards what the reader thread and the probe touch: the four maps and the latencies
    std::map<std::string, std::string> truth_, badges_;
    std::map<std::string, Clock::time_point> probesSent_;
    double worstLatency_ = 0, minuteLatency_ = 0, overallLatency_ = 0, worstConvergence_ = 0;
    bool backlogEmpty_ = false;
    std::atomic<bool> declared_{false}, running_{true};
    std::vector<Sample> samples_;
    int faults_[kFaults] = {}, recoveries_ = 0, violations_ = 0;
};

}  // namespace
}  // namespace vantorix::testing

int main(int argc, char** argv) {
    vantorix::testing::Options options;
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i], value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--figures-only") options.figuresOnly = true, --i;  // the one option without a value
        if (option == "--finder") options.finder = value;
        if (option == "--service") options.service = value;
        if (option == "--seconds") options.seconds = std::stoi(value);
        if (option == "--seed") options.seed = static_cast<unsigned>(std::stoul(value));
        if (option == "--latency-limit-ms") options.latencyLimitMs = std::stoi(value);
        if (option == "--memory-limit-mb") options.memoryLimitMb = std::stoi(value);
    }
    if (options.finder.empty() || options.service.empty()) {
        std::fprintf(stderr, "usage: vantorix-chaos --finder PATH --service PATH [--seconds N] [--seed N] [--latency-limit-ms N | --figures-only] [--memory-limit-mb N]\n"
                             "Run it in a private network namespace and session bus: tests/chaos/run does.\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line of the report out as it is printed, also before an _Exit
    return vantorix::testing::Soak(options).run();
}
