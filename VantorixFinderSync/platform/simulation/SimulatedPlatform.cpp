#include "SimulatedPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vantorix::simulation {

struct SimulatedPlatform::Context {
    enum class Kind { main, serial, global };
    Kind kind;
    std::string label;
};

namespace {

// 2026-01-01T00:00:00Z: the wall clock of virtual time zero.
constexpr auto kWallClockOrigin = std::chrono::seconds(1767225600);

class SimulatedQueue final : public DispatchQueue {
public:
    SimulatedQueue(SimulatedPlatform& platform, SimulatedPlatform::Context* context, std::shared_ptr<SimulatedPlatform::Context> owned = nullptr)
        : platform_(platform), context_(context), owned_(std::move(owned)) {}

    const std::string& label() const override;
    void async(Task block) override { platform_.submit(context_, Duration::zero(), std::move(block)); }
    void sync(const std::function<void()>& block) override { platform_.runInline(context_, block); }
    void asyncAfter(Duration delay, Task block) override { platform_.submit(context_, delay, std::move(block)); }
    bool isCurrent() const override;

private:
    SimulatedPlatform& platform_;
    SimulatedPlatform::Context* context_;
    std::shared_ptr<SimulatedPlatform::Context> owned_;
};

const std::string& SimulatedQueue::label() const { return context_->label; }

bool SimulatedQueue::isCurrent() const { return platform_.isRunning(context_); }

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
        platform_.submit(platform_.mainContext(), due - platform_.monotonicNow(), [self = shared_from_this()] { self->fire(); });
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
    : mainContext_(std::make_unique<Context>(Context{Context::Kind::main, "com.vantorix.main-thread"})),
      recorder_([this] { return now_; }),
      controller_(&recorder_),
      images_{"oi_success", "oi_sync", "oi_error", "oi_exclude", "oi_readonly", "oi_shared", "oi_company"} {
    mainQueue_ = std::make_unique<SimulatedQueue>(*this, mainContext_.get());
    setLogThreshold(LogLevel::debug);
}

std::vector<LogEntry> SimulatedPlatform::logEntriesWith(const std::string& message) const {
    std::vector<LogEntry> entries;
    for (const auto& entry : logEntries_) {
        if (entry.message.rfind(message, 0) == 0) entries.push_back(entry);
    }
    return entries;
}

SimulatedPlatform::~SimulatedPlatform() { discardPendingWork(); }

void SimulatedPlatform::fail(const std::string& message) const {
    std::fprintf(stderr, "simulated platform: %s (at %.3f s virtual)\n", message.c_str(), elapsedSeconds());
    std::fflush(stderr);
    std::abort();
}

// --- Driving ---

void SimulatedPlatform::runUntilIdle() { runUntil(now_); }

void SimulatedPlatform::advanceBy(Duration duration) { runUntil(now_ + duration); }

void SimulatedPlatform::runUntil(MonotonicTime time) {
    if (!running_.empty()) fail("the test drove the platform from inside a block");
    while (runNextDueBy(time)) {
    }
    if (now_ < time) now_ = time;
}

bool SimulatedPlatform::runUntilCondition(const std::function<bool()>& condition, Duration limit) {
    if (!running_.empty()) fail("the test drove the platform from inside a block");
    MonotonicTime end = now_ + limit;
    if (condition()) return true;
    while (runNextDueBy(end)) {
        if (condition()) return true;
    }
    if (now_ < end) now_ = end;
    return condition();
}

bool SimulatedPlatform::runNextDueBy(MonotonicTime limit) {
    if (agenda_.empty()) return false;
    auto first = agenda_.begin();
    MonotonicTime due = std::get<0>(first->first);
    if (due > limit) return false;
    Entry entry = std::move(first->second);
    agenda_.erase(first);
    if (due > now_) now_ = due;
    runEntry(entry.context, entry.block);
    return true;
}

void SimulatedPlatform::runEntry(Context* context, Task& block) {
    if (++steps_ > stepLimit_) fail("step limit reached: a repeating timer or a block that resubmits itself keeps the agenda busy");
    running_.push_back(context);
    block();
    running_.pop_back();
    block = nullptr;
}

void SimulatedPlatform::discardPendingWork() {
    // Moved out first: destroying a block may release an object whose teardown submits or invalidates work.
    while (!agenda_.empty()) {
        auto pending = std::move(agenda_);
        agenda_.clear();
        pending.clear();
    }
}

// --- Blocks ---

void SimulatedPlatform::submit(Context* context, Duration delay, Task block) {
    MonotonicTime due = now_ + std::max(delay, Duration::zero());
    agenda_.emplace(Key{due, sequence_++}, Entry{context, std::move(block)});
}

bool SimulatedPlatform::isRunning(const Context* context) const {
    if (context->kind == Context::Kind::main) return running_.empty() || running_.front() == context;
    return std::find(running_.begin(), running_.end(), context) != running_.end();
}

void SimulatedPlatform::runInline(Context* context, const std::function<void()>& block) {
    if (context->kind != Context::Kind::global) {
        if (isRunning(context)) fail("sync onto queue \"" + context->label + "\", which the caller already runs on (deadlock)");
        if (context->kind == Context::Kind::serial) checkLockOrder(context);
        // A serial queue runs what was submitted to it before this sync first.
        for (auto it = agenda_.begin(); it != agenda_.end() && std::get<0>(it->first) <= now_;) {
            if (it->second.context != context) {
                ++it;
                continue;
            }
            Entry earlier = std::move(it->second);
            agenda_.erase(it);
            runEntry(earlier.context, earlier.block);
            it = agenda_.begin();
        }
    }
    running_.push_back(context);
    block();
    running_.pop_back();
}

// Serial queues used through sync() are locks: taking B inside A once and A inside B another time is the
// deadlock two threads would meet, even if this single thread never does.
void SimulatedPlatform::checkLockOrder(const Context* taken) {
    for (const Context* held : running_) {
        if (held->kind != Context::Kind::serial || held == taken) continue;
        if (lockOrder_.count({taken, held}) != 0) {
            fail("lock order inversion: \"" + taken->label + "\" taken while running on \"" + held->label + "\", and the other way round before (a deadlock between two threads)");
        }
        lockOrder_.insert({held, taken});
    }
}

bool SimulatedPlatform::waitUntil(const std::function<bool()>& satisfied, const std::function<std::optional<MonotonicTime>()>& nextChange,
                                  MonotonicTime deadline) {
    for (;;) {
        if (satisfied()) return true;
        if (now_ >= deadline) return false;
        MonotonicTime target = deadline;
        if (nextChange) {
            if (auto next = nextChange(); next && *next > now_ && *next < deadline) target = *next;
        }
        now_ = target;
    }
}

// --- Platform ---

WallTime SimulatedPlatform::now() {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(kWallClockOrigin + now_.time_since_epoch()));
}

void SimulatedPlatform::sleep(Duration duration) { waitUntil([] { return false; }, nullptr, now_ + duration); }

DispatchQueue& SimulatedPlatform::mainQueue() { return *mainQueue_; }

DispatchQueue& SimulatedPlatform::globalQueue(QualityOfService qos) {
    auto& queue = globalQueues_[qos];
    if (!queue) {
        auto context = std::make_shared<Context>(Context{Context::Kind::global, "com.vantorix.global." + std::to_string(static_cast<int>(qos))});
        queue = std::make_unique<SimulatedQueue>(*this, context.get(), context);
    }
    return *queue;
}

std::unique_ptr<DispatchQueue> SimulatedPlatform::makeSerialQueue(const std::string& label, QualityOfService) {
    auto context = std::make_shared<Context>(Context{Context::Kind::serial, label});
    contexts_.push_back(context);  // kept while blocks submitted to the queue may still be on the agenda
    return std::make_unique<SimulatedQueue>(*this, context.get(), context);
}

std::unique_ptr<Semaphore> SimulatedPlatform::makeSemaphore(int count) { return std::make_unique<SimulatedSemaphore>(*this, count); }

std::shared_ptr<Timer> SimulatedPlatform::scheduleTimer(Duration interval, bool repeats, TimerAction action) {
    auto timer = std::make_shared<SimulatedTimer>(*this, interval, repeats, std::move(action));
    timer->arm(now_ + std::max(interval, Duration::zero()));
    return timer;
}

StreamPair SimulatedPlatform::streamsToHost(const std::string& host, int port) { return makeSimulatedStreams(*this, service_, host, port); }

void SimulatedPlatform::addDirectory(const std::string& path, std::vector<std::string> names) { directories_[path] = std::move(names); }

void SimulatedPlatform::removeDirectory(const std::string& path) { directories_.erase(path); }

std::optional<std::vector<std::string>> SimulatedPlatform::contentsOfDirectory(const std::string& path) {
    auto found = directories_.find(path);
    if (found == directories_.end()) return std::nullopt;
    return found->second;
}

std::optional<Image> SimulatedPlatform::imageNamed(const std::string& name) {
    if (images_.count(name) == 0) return std::nullopt;
    return Image{name, ""};
}

}  // namespace vantorix::simulation
