#pragma once

#include <atomic>
#include <functional>
#include <stop_token>
#include <thread>

#include <signal.h>

namespace sayloft::core {

// Turns SIGINT and SIGTERM (and, when asked, SIGHUP) into a stop request on a thread of its own.
// Create it first thing in main(): the signals are blocked in this thread and in every thread
// started after it, so they reach only the waiter.
class SignalWaiter {
  public:
    explicit SignalWaiter(std::function<void(int signal)> onSignal = {}, bool alsoHangup = false);
    ~SignalWaiter();
    SignalWaiter(const SignalWaiter&) = delete;
    SignalWaiter& operator=(const SignalWaiter&) = delete;

    std::stop_token token() const { return stop_.get_token(); }
    // The signal that arrived first, 0 while none has.
    int received() const { return received_; }
    // How many signals arrived so far (a second Ctrl-C may mean more than the first).
    int count() const { return count_; }

  private:
    sigset_t signals_;
    std::atomic<bool> closing_{false};
    std::atomic<int> received_{0};
    std::atomic<int> count_{0};
    std::stop_source stop_;
    std::thread waiter_;
};

}  // namespace sayloft::core
