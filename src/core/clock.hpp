#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

namespace sayloft::core {

using SystemClock = std::chrono::system_clock;
using TimePoint = SystemClock::time_point;
using Duration = std::chrono::nanoseconds;

// Seconds as a Duration, for the many delays written in seconds.
constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
inline double toSeconds(Duration d) {
    return std::chrono::duration<double>(d).count();
}

// A timer made by a Clock. Cancelling is idempotent and waits for a running fire to finish
// unless called from inside that fire.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void cancel() = 0;
};

// Every read of "now", every wait and every timer goes through a Clock, so tests can run
// hours of product time in microseconds.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // Blocks for `d` of this clock's time. Returns false when `stop` was requested first.
    virtual bool sleepFor(Duration d, std::stop_token stop = {}) = 0;
    // Calls `fire` once after `first`, then every `repeat` when it is positive. `fire` runs on
    // the clock's own thread (real clock) or inside advance() (manual clock); hand real work to
    // a queue from it.
    virtual std::unique_ptr<Timer> startTimer(Duration first, Duration repeat,
                                              std::function<void()> fire) = 0;
};

// The process-wide real clock.
Clock& systemClock();

// Real time sped up by a factor: every delay lasts 1/scale as long and now() runs scale times as
// fast from the moment of creation. Lets a whole process (daemon, service peer) be driven through
// hours of product time in seconds, in end-to-end runs.
class ScaledClock : public Clock {
  public:
    explicit ScaledClock(double scale);
    TimePoint now() const override;
    bool sleepFor(Duration d, std::stop_token stop = {}) override;
    std::unique_ptr<Timer> startTimer(Duration first, Duration repeat,
                                      std::function<void()> fire) override;

  private:
    Duration real(Duration d) const;
    double scale_;
    TimePoint start_;
    std::chrono::steady_clock::time_point steadyStart_;
};

// A clock that only moves when told to. advance() wakes sleepers and fires timers in deadline
// order. With auto-advance on, sleepFor() moves the clock itself (single-threaded tests).
class ManualClock : public Clock {
  public:
    explicit ManualClock(TimePoint start = TimePoint{} + std::chrono::hours(24 * 365 * 55));
    ~ManualClock() override;

    TimePoint now() const override;
    bool sleepFor(Duration d, std::stop_token stop = {}) override;
    std::unique_ptr<Timer> startTimer(Duration first, Duration repeat,
                                      std::function<void()> fire) override;

    void advance(Duration d);
    void setNow(TimePoint t);
    void setAutoAdvance(bool on);
    // Number of threads blocked in sleepFor right now.
    size_t sleeperCount() const;
    // Waits (in real time, bounded) until at least `n` threads block in sleepFor.
    bool waitForSleepers(size_t n, std::chrono::milliseconds realLimit = std::chrono::seconds(10));
    // Total product time all sleepFor calls asked for; lets tests check waits happened.
    Duration totalSlept() const;

  private:
    struct TimerState;
    class ManualTimer;
    void runDue();

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    TimePoint now_;
    bool autoAdvance_ = false;
    size_t sleepers_ = 0;
    Duration slept_{0};
    std::vector<std::shared_ptr<TimerState>> timers_;
};

}  // namespace sayloft::core
