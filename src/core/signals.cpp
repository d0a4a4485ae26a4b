#include "core/signals.hpp"

#include <pthread.h>

namespace sayloft::core {

SignalWaiter::SignalWaiter(std::function<void(int)> onSignal, bool alsoHangup) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    if (alsoHangup) sigaddset(&signals_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    waiter_ = std::thread([this, onSignal = std::move(onSignal)] {
        for (;;) {
            int signal = 0;
            sigwait(&signals_, &signal);
            if (closing_) return;  // woken by the destructor, not by the user
            if (received_ == 0) received_ = signal;
            ++count_;
            stop_.request_stop();
            if (onSignal) onSignal(signal);
        }
    });
}

SignalWaiter::~SignalWaiter() {
    closing_ = true;
    pthread_kill(waiter_.native_handle(), SIGTERM);  // wakes the waiter
    waiter_.join();
}

}  // namespace sayloft::core
