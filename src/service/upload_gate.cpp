#include "service/upload_gate.hpp"

#include <algorithm>

#include "service/http.hpp"

namespace sayloft::service {

UploadGate::Pass UploadGate::acquire(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!busy_) {
        busy_ = true;
        return Pass(this);
    }
    auto me = std::make_shared<Waiter>();
    waiters_.push_back(me);
    changed_.wait(lock, stop, [&] { return me->granted; });
    if (!me->granted) {
        // Cancelled while still queued: leave the queue without taking the gate.
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), me));
        throw Cancelled();
    }
    return Pass(this);
}

void UploadGate::release() {
    std::lock_guard lock(mutex_);
    if (!waiters_.empty()) {
        waiters_.front()->granted = true;  // stays busy: handed straight to the next in line
        waiters_.pop_front();
        changed_.notify_all();
    } else {
        busy_ = false;
    }
}

bool UploadGate::busy() const {
    std::lock_guard lock(mutex_);
    return busy_;
}

size_t UploadGate::waiterCount() const {
    std::lock_guard lock(mutex_);
    return waiters_.size();
}

UploadGate& uploadGate() {
    static UploadGate gate;
    return gate;
}

}  // namespace sayloft::service
