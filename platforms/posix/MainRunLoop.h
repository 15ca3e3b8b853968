// The real platform's main run loop: the main queue and the timers, run by whichever thread calls run().
//
// Main-queue blocks, delayed main-queue blocks and timer firings sit on one agenda ordered by due time, then by
// submission order, so equal delays run FIFO and a block never runs before it is due. Blocks may be submitted
// and timers scheduled or invalidated from any thread; they run only on the loop's thread.
#pragma once

#include "platform/Dispatch.h"
#include "platform/Timer.h"
#include "Agenda.h"

#include <atomic>
#include <memory>
#include <thread>

namespace vantorix::posix {

class MainRunLoop final : public DispatchQueue {
public:
    MainRunLoop();

    // Runs the loop on the calling thread, which becomes the main thread, until stop() is called.
    void run();
    // Makes run() return after the block it is running, if any. Safe from any thread, also before run().
    void stop();

    const std::string& label() const override { return label_; }
    void async(Task block) override;
    void sync(const std::function<void()>& block) override;
    void asyncAfter(Duration delay, Task block) override;
    bool isCurrent() const override;

    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, TimerAction action);

private:
    class LoopTimer;
    void arm(const std::shared_ptr<LoopTimer>& timer);

    std::string label_ = "com.vantorix.main-thread";
    Agenda agenda_;
    std::atomic<std::thread::id> mainThread_{};
};

}  // namespace vantorix::posix
