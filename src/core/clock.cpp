#include "core/clock.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

namespace sayloft::core {

namespace {

// One thread per timer: the product has a handful of long-lived timers, never thousands.
class RealTimer : public Timer {
  public:
    RealTimer(Duration first, Duration repeat, std::function<void()> fire)
        : thread_([this, first, repeat, fire = std::move(fire)](std::stop_token st) {
              run(st, first, repeat, fire);
          }) {}
    ~RealTimer() override { cancel(); }

    void cancel() override {
        if (!thread_.joinable()) return;
        thread_.request_stop();
        cv_.notify_all();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // cancelled from inside its own fire: it ends after returning
        } else {
            thread_.join();
        }
    }

  private:
    void run(std::stop_token st, Duration first, Duration repeat,
             const std::function<void()>& fire) {
        auto next = std::chrono::steady_clock::now() + first;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (cv_.wait_until(lock, st, next, [] { return false; })) return;
                if (st.stop_requested()) return;
            }
            fire();
            if (repeat <= Duration::zero() || st.stop_requested()) return;
            next += repeat;
        }
    }

    std::mutex mutex_;
    std::condition_variable_any cv_;
    std::jthread thread_;
};

class RealClock : public Clock {
  public:
    TimePoint now() const override { return SystemClock::now(); }

    bool sleepFor(Duration d, std::stop_token stop) override {
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock lock(m);
        auto deadline = std::chrono::steady_clock::now() + d;
        return !cv.wait_until(lock, stop, deadline, [] { return false; }) && !stop.stop_requested();
    }

    std::unique_ptr<Timer> startTimer(Duration first, Duration repeat,
                                      std::function<void()> fire) override {
        return std::make_unique<RealTimer>(first, repeat, std::move(fire));
    }
};

}  // namespace

Clock& systemClock() {
    static RealClock clock;
    return clock;
}

ScaledClock::ScaledClock(double scale)
    : scale_(scale > 0 ? scale : 1),
      start_(SystemClock::now()),
      steadyStart_(std::chrono::steady_clock::now()) {}

Duration ScaledClock::real(Duration d) const {
    return std::chrono::duration_cast<Duration>(
        std::chrono::duration<double, std::nano>(d.count() / scale_));
}

TimePoint ScaledClock::now() const {
    auto elapsed = std::chrono::steady_clock::now() - steadyStart_;
    return start_ + std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::nano>(
                        std::chrono::duration<double, std::nano>(elapsed).count() * scale_));
}

bool ScaledClock::sleepFor(Duration d, std::stop_token stop) {
    return systemClock().sleepFor(real(d), stop);
}

std::unique_ptr<Timer> ScaledClock::startTimer(Duration first, Duration repeat,
                                               std::function<void()> fire) {
    return std::make_unique<RealTimer>(real(first), real(repeat), std::move(fire));
}

struct ManualClock::TimerState {
    TimePoint deadline;
    Duration repeat;
    std::function<void()> fire;
    bool cancelled = false;
};

class ManualClock::ManualTimer : public Timer {
  public:
    ManualTimer(ManualClock& clock, std::shared_ptr<TimerState> state)
        : clock_(clock), state_(std::move(state)) {}
    ~ManualTimer() override { cancel(); }
    void cancel() override {
        std::lock_guard lock(clock_.mutex_);
        state_->cancelled = true;
    }

  private:
    ManualClock& clock_;
    std::shared_ptr<TimerState> state_;
};

ManualClock::ManualClock(TimePoint start) : now_(start) {}
ManualClock::~ManualClock() = default;

TimePoint ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool ManualClock::sleepFor(Duration d, std::stop_token stop) {
    bool autoAdvance;
    {
        std::lock_guard lock(mutex_);
        slept_ += d;
        autoAdvance = autoAdvance_;
    }
    if (autoAdvance) {
        if (stop.stop_requested()) return false;
        advance(d);
        return true;
    }
    std::unique_lock lock(mutex_);
    const TimePoint deadline = now_ + d;
    ++sleepers_;
    changed_.notify_all();
    const bool reached = changed_.wait(lock, stop, [&] { return now_ >= deadline; });
    --sleepers_;
    return reached;
}

std::unique_ptr<Timer> ManualClock::startTimer(Duration first, Duration repeat,
                                               std::function<void()> fire) {
    auto state = std::make_shared<TimerState>();
    std::lock_guard lock(mutex_);
    state->deadline = now_ + first;
    state->repeat = repeat;
    state->fire = std::move(fire);
    timers_.push_back(state);
    return std::make_unique<ManualTimer>(*this, state);
}

void ManualClock::advance(Duration d) {
    TimePoint target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + d;
    }
    for (;;) {
        std::shared_ptr<TimerState> due;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(timers_, [](const auto& t) { return t->cancelled; });
            for (auto& t : timers_) {
                if (t->deadline <= target && (!due || t->deadline < due->deadline)) due = t;
            }
            if (!due) {
                now_ = std::max(now_, target);
                changed_.notify_all();
                return;
            }
            now_ = std::max(now_, due->deadline);
            if (due->repeat > Duration::zero()) {
                due->deadline += due->repeat;
            } else {
                due->cancelled = true;
            }
            changed_.notify_all();
        }
        due->fire();
    }
}

void ManualClock::setNow(TimePoint t) {
    std::lock_guard lock(mutex_);
    now_ = t;
    changed_.notify_all();
}

void ManualClock::setAutoAdvance(bool on) {
    std::lock_guard lock(mutex_);
    autoAdvance_ = on;
}

size_t ManualClock::sleeperCount() const {
    std::lock_guard lock(mutex_);
    return sleepers_;
}

bool ManualClock::waitForSleepers(size_t n, std::chrono::milliseconds realLimit) {
    std::unique_lock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + realLimit;
    while (sleepers_ < n) {
        // Sleepers announce themselves through changed_; poll briefly as a safety net.
        if (changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                             std::chrono::milliseconds(5))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline)
            return sleepers_ >= n;
    }
    return true;
}

Duration ManualClock::totalSlept() const {
    std::lock_guard lock(mutex_);
    return slept_;
}

}  // namespace sayloft::core
