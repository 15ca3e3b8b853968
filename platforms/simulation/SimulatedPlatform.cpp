#include "SimulatedPlatform.h"

#include "protocol/Badges.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantorix::simulation {

namespace {

// 2026-01-01T00:00:00Z: the wall clock of virtual time zero.
constexpr auto kWallClockOrigin = std::chrono::seconds(1767225600);

using Context = Scheduler::Context;

class SimulatedQueue final : public DispatchQueue {
public:
    SimulatedQueue(Scheduler& scheduler, Context* context) : scheduler_(scheduler), context_(context) {}

    const std::string& label() const override { return context_->label; }
    void async(Task block) override { scheduler_.submit(context_, Duration::zero(), std::move(block)); }
    void sync(const std::function<void()>& block) override { scheduler_.runInline(context_, block); }
    void asyncAfter(Duration delay, Task block) override { scheduler_.submit(context_, delay, std::move(block)); }
    bool isCurrent() const override { return scheduler_.isCurrent(context_); }

private:
    Scheduler& scheduler_;
    Context* context_;  // owned by the scheduler, so that blocks submitted to the queue outlive it
};

class SimulatedSemaphore final : public Semaphore {
public:
    SimulatedSemaphore(SimulatedPlatform& platform, int count) : platform_(platform), count_(count) {}
    bool wait(MonotonicTime deadline) override {
        if (!platform_.waitUntil([this] { return count_ > 0; }, nullptr, deadline)) return false;
        --count_;
        return true;
    }
    void signal() override { ++count_; }

private:
    SimulatedPlatform& platform_;
    int count_;
};

class SimulatedTimer final : public Timer, public std::enable_shared_from_this<SimulatedTimer> {
public:
    SimulatedTimer(SimulatedPlatform& platform, Duration interval, bool repeats, TimerAction action)
        : platform_(platform), interval_(interval), repeats_(repeats), action_(std::move(action)) {}

    void invalidate() override {
        valid_ = false;
        action_ = nullptr;  // release what the action holds at once; the agenda entry does nothing any more
    }
    bool isValid() const override { return valid_; }
    Duration timeInterval() const override { return interval_; }

    void arm(MonotonicTime due) {
        due_ = due;
        Scheduler& scheduler = platform_.scheduler();
        scheduler.submit(scheduler.mainContext(), due - platform_.monotonicNow(), [self = shared_from_this()] { self->fire(); });
    }

private:
    void fire() {
        if (!valid_) return;
        TimerAction action = action_;  // the action may invalidate the timer, which drops action_
        if (!repeats_) {
            invalidate();  // a one-shot timer is no longer valid from the moment it fires
            action(*this);
            return;
        }
        action(*this);
        if (!valid_) return;
        // The next firing is one interval after the scheduled one; firings missed while the main thread was
        // busy are skipped.
        Duration step = std::max(interval_, Duration(std::chrono::microseconds(100)));
        MonotonicTime next = due_ + step;
        MonotonicTime now = platform_.monotonicNow();
        if (next <= now) next += step * ((now - next) / step + 1);
        arm(next);
    }

    SimulatedPlatform& platform_;
    const Duration interval_;
    const bool repeats_;
    TimerAction action_;
    bool valid_ = true;
    MonotonicTime due_{};
};

}  // namespace

SimulatedPlatform::SimulatedPlatform()
    : scheduler_([this](const std::string& message) { fail(message); }),
      recorder_([this] { return scheduler_.now(); }),
      controller_(&recorder_) {
    for (const auto& badge : kBadgeCatalogue) images_.insert(std::string(badge.imageName));
    mainQueue_ = std::make_unique<SimulatedQueue>(scheduler_, scheduler_.mainContext());
    setLogThreshold(LogLevel::debug);
    if (const char* seed = std::getenv("VANTORIX_SEED"); seed != nullptr && *seed != '\0') {
        scheduler_.setSeed(std::strtoull(seed, nullptr, 10));
        seedFromEnvironment_ = true;
    }
}

// Ends what still runs while every part of the simulated world exists: parked blocks finish, pending ones are
// dropped, and what they held is released.
SimulatedPlatform::~SimulatedPlatform() { scheduler_.finish(); }

void SimulatedPlatform::setScheduleSeed(std::uint64_t seed) {
    if (!seedFromEnvironment_) scheduler_.setSeed(seed);
}

std::vector<LogEntry> SimulatedPlatform::logEntriesWith(const std::string& message) const {
    std::vector<LogEntry> entries;
    for (const auto& entry : logEntries_) {
        if (entry.message.rfind(message, 0) == 0) entries.push_back(entry);
    }
    return entries;
}

void SimulatedPlatform::fail(const std::string& message) const {
    std::fprintf(stderr, "simulated platform: %s (at %.3f s virtual, schedule seed %llu)\n", message.c_str(), toSeconds(elapsed()),
                 static_cast<unsigned long long>(scheduler_.seed()));
    std::fflush(stderr);
    std::abort();
}

void SimulatedPlatform::requireMainThread(const char* call) const {
    if (!scheduler_.onMainThread()) fail(std::string(call) + " called off the main thread");
}

void SimulatedPlatform::CheckedController::setBadgeImage(const Image& image, const std::string& label, const std::string& identifier) {
    platform_.controller_->setBadgeImage(image, label, identifier);  // any thread: registration
}

void SimulatedPlatform::CheckedController::setBadgeIdentifier(const std::string& identifier, const URL& url) {
    platform_.requireMainThread("setBadgeIdentifier");
    platform_.controller_->setBadgeIdentifier(identifier, url);
}

void SimulatedPlatform::CheckedController::setDirectoryURLs(const std::set<URL>& urls) {
    platform_.requireMainThread("setDirectoryURLs");
    platform_.controller_->setDirectoryURLs(urls);
}

// --- Driving ---

void SimulatedPlatform::runUntilIdle() { scheduler_.runUntil(scheduler_.now()); }

void SimulatedPlatform::advanceBy(Duration duration) { scheduler_.runUntil(scheduler_.now() + duration); }

void SimulatedPlatform::runUntil(MonotonicTime time) { scheduler_.runUntil(time); }

bool SimulatedPlatform::runUntilCondition(const std::function<bool()>& condition, Duration limit) {
    return scheduler_.runUntil(scheduler_.now() + limit, condition);
}

// --- Platform ---

WallTime SimulatedPlatform::now() {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(kWallClockOrigin + scheduler_.now().time_since_epoch() + wallClockOffset_));
}

void SimulatedPlatform::sleep(Duration duration) { waitUntil([] { return false; }, nullptr, scheduler_.now() + duration); }

DispatchQueue& SimulatedPlatform::mainQueue() { return *mainQueue_; }

DispatchQueue& SimulatedPlatform::globalQueue(QualityOfService qos) {
    auto& queue = globalQueues_[qos];
    if (!queue) queue = std::make_unique<SimulatedQueue>(scheduler_, scheduler_.newContext(Context::Kind::global, "com.vantorix.global." + std::to_string(static_cast<int>(qos))));
    return *queue;
}

std::unique_ptr<DispatchQueue> SimulatedPlatform::makeSerialQueue(const std::string& label, QualityOfService) {
    return std::make_unique<SimulatedQueue>(scheduler_, scheduler_.newContext(Context::Kind::serial, label));
}

std::unique_ptr<Semaphore> SimulatedPlatform::makeSemaphore(int count) { return std::make_unique<SimulatedSemaphore>(*this, count); }

std::shared_ptr<Timer> SimulatedPlatform::scheduleTimer(Duration interval, bool repeats, TimerAction action) {
    requireMainThread("scheduleTimer");
    auto timer = std::make_shared<SimulatedTimer>(*this, interval, repeats, std::move(action));
    timer->arm(scheduler_.now() + std::max(interval, Duration::zero()));
    return timer;
}

StreamPair SimulatedPlatform::streamsToHost(const std::string& host, int port) { return makeSimulatedStreams(*this, service_, host, port); }

void SimulatedPlatform::addDirectory(const std::string& path, std::vector<std::string> names) { directories_[path] = std::move(names); }

void SimulatedPlatform::removeDirectory(const std::string& path) { directories_.erase(path); }

DirectoryNames SimulatedPlatform::contentsOfDirectory(const std::string& path) {
    auto found = directories_.find(path);
    if (found == directories_.end()) return nullptr;
    return std::make_shared<const std::vector<std::string>>(found->second);
}

std::optional<Image> SimulatedPlatform::imageNamed(const std::string& name) {
    if (images_.count(name) == 0) return std::nullopt;
    return Image{name, ""};
}

}  // namespace vantorix::simulation
