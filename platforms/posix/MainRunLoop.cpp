#include "MainRunLoop.h"

#include "PosixDispatch.h"

namespace vantorix::posix {

class MainRunLoop::LoopTimer final : public Timer {
public:
    LoopTimer(Duration interval, bool repeats, TimerAction action, std::chrono::steady_clock::time_point due)
        : interval_(interval), repeats_(repeats), action_(std::move(action)), due_(due) {}

    void invalidate() override { valid_.store(false, std::memory_order_release); }
    bool isValid() const override { return valid_.load(std::memory_order_acquire); }
    Duration timeInterval() const override { return interval_; }

    // Runs on the loop's thread. Returns whether the timer is to be armed again.
    bool fire() {
        if (!isValid()) return false;
        if (!repeats_) invalidate();  // a one-shot timer is no longer valid from the moment it fires
        action_(*this);
        if (repeats_ && isValid()) {
            // Next firing one interval after the scheduled one; firings missed while the loop was busy are skipped.
            auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::max(interval_, Duration(std::chrono::microseconds(100))));
            auto now = std::chrono::steady_clock::now();
            due_ += step;
            if (due_ <= now) due_ += step * ((now - due_) / step + 1);
        }
        if (!isValid()) action_ = nullptr;  // release what the action holds as soon as the timer is done
        return isValid();
    }

    std::chrono::steady_clock::time_point due() const { return due_; }

private:
    const Duration interval_;
    const bool repeats_;
    TimerAction action_;
    std::chrono::steady_clock::time_point due_;
    std::atomic<bool> valid_{true};
};

MainRunLoop::MainRunLoop() = default;

void MainRunLoop::run() {
    mainThread_.store(std::this_thread::get_id());
    agenda_.run();
}

void MainRunLoop::stop() { agenda_.stop(); }

void MainRunLoop::async(Task block) { agenda_.schedule(std::chrono::steady_clock::now(), std::move(block)); }

void MainRunLoop::asyncAfter(Duration delay, Task block) { agenda_.schedule(dueAfter(delay), std::move(block)); }

void MainRunLoop::sync(const std::function<void()>& block) {
    if (isCurrent()) abortOnReentrantSync(label_);
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    async([&] {
        block();
        std::lock_guard lock(doneMutex);
        done = true;
        doneChanged.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneChanged.wait(lock, [&] { return done; });
}

bool MainRunLoop::isCurrent() const { return mainThread_.load() == std::this_thread::get_id(); }

std::shared_ptr<Timer> MainRunLoop::scheduleTimer(Duration interval, bool repeats, TimerAction action) {
    auto timer = std::make_shared<LoopTimer>(interval, repeats, std::move(action), dueAfter(interval));
    arm(timer);
    return timer;
}

void MainRunLoop::arm(const std::shared_ptr<LoopTimer>& timer) {
    agenda_.schedule(timer->due(), [this, timer] {
        if (timer->fire()) arm(timer);
    });
}

}  // namespace vantorix::posix
