#include "Scheduler.h"

#include <algorithm>

namespace vantorix::simulation {

// A simulated thread. It runs only while it holds the baton; every field is touched only by the baton holder.
struct Scheduler::Strand {
    bool driver = false;
    bool baton = false;
    bool exit = false;      // an idle worker told to end
    bool resumed = false;   // its parked wait was chosen to go on
    std::condition_variable wake;
    std::unique_lock<std::mutex>* lock = nullptr;  // its hold on the scheduler's mutex, while it runs
    std::vector<Context*> stack;                   // the contexts it runs blocks of, innermost last
    std::optional<Entry> assigned;                 // a block handed to it while idle
    std::thread thread;
};

namespace {

thread_local Scheduler::Strand* currentStrand = nullptr;  // the worker this OS thread is; none for the driver

constexpr std::size_t kGlobalCandidates = 4;  // due global blocks a seeded choice considers at once
constexpr MonotonicTime kForever = MonotonicTime::max();

}  // namespace

Scheduler::Scheduler(std::function<void(const std::string&)> fail) : fail_(std::move(fail)), driver_(std::make_unique<Strand>()) {
    driver_->driver = true;
    driver_->baton = true;
    driverLock_ = std::unique_lock<std::mutex>(mutex_);
    driver_->lock = &driverLock_;
}

Scheduler::~Scheduler() {
    finish();
    for (auto& strand : strands_) {
        strand->exit = true;
        pass(driver_.get(), strand.get());  // it hands the baton back as it ends
        strand->thread.join();
    }
    driverLock_.unlock();
}

void Scheduler::setSeed(std::uint64_t seed) {
    seed_ = seed;
    random_.seed(seed);
}

Scheduler::Strand* Scheduler::current() const { return currentStrand != nullptr ? currentStrand : driver_.get(); }

std::size_t Scheduler::pendingCount() const {
    std::size_t count = globalPending_.size() + main_.pending.size();
    for (const auto& context : contexts_) count += context->pending.size();
    return count;
}

Scheduler::Context* Scheduler::newContext(Context::Kind kind, std::string label) {
    contexts_.push_back(std::make_unique<Context>(Context{kind, std::move(label)}));
    return contexts_.back().get();
}

bool Scheduler::isCurrent(const Context* context) const {
    const Strand* strand = current();
    if (context->kind == Context::Kind::main && strand->driver) return true;  // the test's thread is the main thread
    return std::find(strand->stack.begin(), strand->stack.end(), context) != strand->stack.end();
}

// A global context never excludes anything. The main thread is busy while one of its blocks runs or is parked,
// and while the driver acts as the main thread (outside runUntil).
bool Scheduler::isBusy(const Context* context) const {
    switch (context->kind) {
    case Context::Kind::global: return false;
    case Context::Kind::main: return context->holder != nullptr || !driverRunning_;
    case Context::Kind::serial: return context->holder != nullptr;
    }
    return false;
}

void Scheduler::countStep() {
    if (++steps_ > stepLimit_) fail_("step limit reached: a repeating timer or a block that resubmits itself keeps the schedule busy");
}

// --- Submitting ---

void Scheduler::submit(Context* context, Duration delay, Task block) {
    if (finishing_) return;  // the process is ending: nothing new runs
    Key key{now_ + std::max(delay, Duration::zero()), sequence_++};
    if (context->kind == Context::Kind::global) {
        globalPending_.emplace(key, Entry{context, std::move(block)});
        return;
    }
    if (!context->pending.empty()) {
        const Key& head = context->pending.begin()->first;
        if (key < head) heads_.erase({head, context});
    }
    context->pending.emplace(key, std::move(block));
    heads_.insert({context->pending.begin()->first, context});
}

Scheduler::Entry Scheduler::take(const Step& step) {
    if (step.context->kind == Context::Kind::global) {
        auto found = globalPending_.find(step.key);
        Entry entry = std::move(found->second);
        globalPending_.erase(found);
        return entry;
    }
    Context* context = step.context;
    heads_.erase({step.key, context});
    auto found = context->pending.find(step.key);
    Entry entry{context, std::move(found->second)};
    context->pending.erase(found);
    if (!context->pending.empty()) heads_.insert({context->pending.begin()->first, context});
    return entry;
}

void Scheduler::dropPending() {
    // Moved out first: destroying a block may release an object whose teardown submits work.
    std::map<Key, Entry> global = std::move(globalPending_);
    globalPending_.clear();
    std::vector<std::map<Key, Task>> dropped;
    dropped.push_back(std::move(main_.pending));
    main_.pending.clear();
    for (auto& context : contexts_) {
        dropped.push_back(std::move(context->pending));
        context->pending.clear();
    }
    heads_.clear();
}

// --- Running blocks ---

void Scheduler::runEntry(Strand* self, Entry& entry) {
    countStep();
    Context* context = entry.context;
    self->stack.push_back(context);
    if (context->kind != Context::Kind::global) context->holder = self;
    Task block = std::move(entry.block);
    MonotonicTime started = now_;
    block();
    if (context->kind == Context::Kind::main) longestMainHold_ = std::max(longestMainHold_, now_ - started);
    self->stack.pop_back();
    if (context->kind != Context::Kind::global) context->holder = nullptr;
    block = nullptr;  // what it captured is released outside the context: a destructor may sync onto it
}

void Scheduler::runInline(Context* context, const std::function<void()>& block) {
    Strand* self = current();
    if (context->kind != Context::Kind::global) {
        if (isCurrent(context)) fail_("sync onto queue \"" + context->label + "\", which the caller already runs on (deadlock)");
        if (context->kind == Context::Kind::serial) checkLockOrder(self, context);
        // Another thread runs a block of the queue (it may be parked in a wait): wait for the queue, as a
        // synchronous submission would.
        auto free = [this, context, self] {
            if (context->holder != nullptr) return false;
            return context->kind != Context::Kind::main || driverRunning_ || self->driver;
        };
        if (!free()) waitUntil(free, nullptr, kForever, false);
        // The queue runs what was submitted to it before this sync first.
        while (!context->pending.empty() && std::get<0>(context->pending.begin()->first) <= now_) {
            Entry earlier = take(Step{Step::Kind::run, nullptr, context, context->pending.begin()->first});
            runEntry(self, earlier);
        }
        context->holder = self;
    }
    self->stack.push_back(context);
    block();
    self->stack.pop_back();
    if (context->kind != Context::Kind::global) context->holder = nullptr;
}

// Serial queues used through sync() are locks: taking B inside A once and A inside B another time is the
// deadlock two threads would meet, even if no schedule so far has made them meet.
void Scheduler::checkLockOrder(Strand* self, const Context* taken) {
    for (const Context* held : self->stack) {
        if (held->kind != Context::Kind::serial || held == taken) continue;
        if (lockOrder_.count({taken, held}) != 0) {
            fail_("lock order inversion: \"" + taken->label + "\" taken while running on \"" + held->label +
                  "\", and the other way round before (a deadlock between two threads)");
        }
        lockOrder_.insert({held, taken});
    }
}

// --- Choosing ---

void Scheduler::collectReady(std::vector<Step>& ready) {
    for (const auto& waiter : waiters_) {
        bool timedOut = waiter->mayTimeOut && (finishing_ || now_ >= waiter->deadline);
        if (timedOut || waiter->satisfied()) ready.push_back({Step::Kind::resume, waiter.get()});
    }
    for (const auto& [key, context] : heads_) {
        if (std::get<0>(key) > now_) break;
        if (!isBusy(context)) ready.push_back({Step::Kind::run, nullptr, context, key});
    }
    std::size_t globals = 0;
    for (const auto& [key, entry] : globalPending_) {
        if (std::get<0>(key) > now_ || globals == kGlobalCandidates) break;
        ready.push_back({Step::Kind::run, nullptr, entry.context, key});
        ++globals;
    }
}

std::optional<MonotonicTime> Scheduler::nextEventTime() {
    std::optional<MonotonicTime> next;
    auto consider = [&](MonotonicTime at) {
        if (at > now_ && (!next || at < *next)) next = at;
    };
    for (const auto& [key, context] : heads_) {
        if (!isBusy(context)) {
            consider(std::get<0>(key));
            if (std::get<0>(key) > now_) break;
        }
    }
    if (!globalPending_.empty()) consider(std::get<0>(globalPending_.begin()->first));
    for (const auto& waiter : waiters_) {
        if (waiter->mayTimeOut) consider(waiter->deadline);
        if (waiter->nextChange) {
            if (auto change = waiter->nextChange()) consider(*change);
        }
    }
    return next;
}

Scheduler::Step Scheduler::decide() {
    for (;;) {
        if (condition_ && !conditionHeld_) {
            // The test's condition runs as the test's thread would, whichever thread decides.
            Strand* saved = currentStrand;
            currentStrand = nullptr;
            inCondition_ = true;
            conditionHeld_ = condition_();
            inCondition_ = false;
            currentStrand = saved;
        }
        if (conditionHeld_) return {Step::Kind::done};
        std::vector<Step> ready;
        collectReady(ready);
        if (!ready.empty()) {
            if (seed_ != 0) return ready[std::uniform_int_distribution<std::size_t>(0, ready.size() - 1)(random_)];
            // Waits first, oldest first; then the block submitted first among those due earliest.
            if (ready.front().kind == Step::Kind::resume) return ready.front();
            return *std::min_element(ready.begin(), ready.end(), [](const Step& a, const Step& b) { return a.key < b.key; });
        }
        if (finishing_) return {Step::Kind::done};
        std::optional<MonotonicTime> next = nextEventTime();
        if (!next || *next > limit_) return {Step::Kind::done};
        now_ = *next;
    }
}

// --- Handing the baton ---

void Scheduler::pass(Strand* from, Strand* to) {
    from->baton = false;
    to->baton = true;
    to->wake.notify_one();
    from->wake.wait(*from->lock, [from] { return from->baton; });
}

void Scheduler::resume(Strand* self, Waiter* waiter) {
    countStep();
    Strand* strand = waiter->strand;
    strand->resumed = true;
    std::erase_if(waiters_, [waiter](const std::unique_ptr<Waiter>& w) { return w.get() == waiter; });
    if (strand != self) pass(self, strand);
}

Scheduler::Strand* Scheduler::idleWorker() {
    if (!idle_.empty()) {
        Strand* strand = idle_.back();
        idle_.pop_back();
        return strand;
    }
    strands_.push_back(std::make_unique<Strand>());
    Strand* strand = strands_.back().get();
    strand->thread = std::thread([this, strand] { workerMain(strand); });
    return strand;
}

void Scheduler::hand(Strand* self, const Step& step) {
    switch (step.kind) {
    case Step::Kind::resume:
        resume(self, step.waiter);
        return;
    case Step::Kind::run: {
        Strand* worker = idleWorker();
        worker->assigned = take(step);
        pass(self, worker);
        return;
    }
    case Step::Kind::done:
        // A parked thread gives the baton back to the driver; it goes on when a later step resumes its wait.
        if (self->driver) fail_("deadlock: the test's thread waits, and nothing that could end its wait is left to run");
        pass(self, driver_.get());
        return;
    }
}

void Scheduler::workerMain(Strand* self) {
    currentStrand = self;
    std::unique_lock<std::mutex> lock(mutex_);
    self->lock = &lock;
    self->wake.wait(lock, [self] { return self->baton; });
    for (;;) {
        if (self->exit) {
            self->baton = false;
            driver_->baton = true;
            driver_->wake.notify_one();
            return;
        }
        Entry entry = std::move(*self->assigned);
        self->assigned.reset();
        runEntry(self, entry);
        // Free again: this thread goes on with the schedule, running the next block itself when it can.
        Step step = decide();
        if (step.kind == Step::Kind::run) {
            self->assigned = take(step);
            continue;
        }
        idle_.push_back(self);
        if (step.kind == Step::Kind::resume) {
            resume(self, step.waiter);
        } else {
            pass(self, driver_.get());
        }
    }
}

// --- Waiting and driving ---

bool Scheduler::waitUntil(const std::function<bool()>& satisfied, const std::function<std::optional<MonotonicTime>()>& nextChange,
                          MonotonicTime deadline, bool mayTimeOut) {
    if (satisfied()) return true;
    if (mayTimeOut && (finishing_ || now_ >= deadline)) return false;
    if (inCondition_) fail_("a test condition blocked; conditions may only read state");
    Strand* self = current();
    waiters_.push_back(std::make_unique<Waiter>(Waiter{self, satisfied, nextChange, deadline, mayTimeOut}));
    Waiter* mine = waiters_.back().get();
    self->resumed = false;
    // The driver parked in a wait is the main thread blocked: the simulation runs for as long as the wait lasts.
    MonotonicTime savedLimit = limit_;
    if (self->driver) limit_ = kForever;
    while (!self->resumed) {
        Step step = decide();
        if (step.kind == Step::Kind::resume && step.waiter == mine) {
            resume(self, mine);
            break;
        }
        hand(self, step);
    }
    if (self->driver) limit_ = savedLimit;
    return satisfied();
}

bool Scheduler::runUntil(MonotonicTime limit, const std::function<bool()>& condition) {
    if (current() != driver_.get() || !driver_->stack.empty()) fail_("the test drove the platform from inside a block");
    driverRunning_ = true;
    limit_ = limit;
    condition_ = condition;
    conditionHeld_ = false;
    for (;;) {
        Step step = decide();
        if (step.kind == Step::Kind::done) break;
        hand(driver_.get(), step);
    }
    if (!conditionHeld_ && now_ < limit) now_ = limit;
    bool held = !condition || conditionHeld_;
    driverRunning_ = false;
    condition_ = nullptr;
    conditionHeld_ = false;
    return held;
}

void Scheduler::finish() {
    if (current() != driver_.get()) fail_("the simulation was ended from inside a block");
    finishing_ = true;
    driverRunning_ = true;  // the test's thread stops acting as the main thread: parked main blocks may end
    MonotonicTime savedLimit = limit_;
    limit_ = now_;
    dropPending();
    for (;;) {
        Step step = decide();
        if (step.kind == Step::Kind::done) break;
        hand(driver_.get(), step);
    }
    if (!waiters_.empty()) fail_("a parked block waits for a queue that never becomes free");
    dropPending();
    limit_ = savedLimit;
    driverRunning_ = false;
    finishing_ = false;
}

}  // namespace vantorix::simulation
