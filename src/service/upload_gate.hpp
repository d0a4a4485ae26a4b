#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>

namespace sayloft::service {

// Lets at most one upload onto the network at a time, first come first served. Release hands
// the gate straight to the longest waiter, so nobody can overtake the queue.
class UploadGate {
  public:
    // Holds the gate while alive; the destructor releases it on every exit path.
    class Pass {
      public:
        Pass(Pass&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Pass& operator=(Pass&&) = delete;
        ~Pass() {
            if (gate_) gate_->release();
        }

      private:
        friend class UploadGate;
        explicit Pass(UploadGate* gate) : gate_(gate) {}
        UploadGate* gate_;
    };

    // Waits for the gate. Throws Cancelled when `stop` is requested before it is granted.
    Pass acquire(std::stop_token stop = {});

    bool busy() const;
    size_t waiterCount() const;

  private:
    struct Waiter {
        bool granted = false;
    };
    void release();

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    bool busy_ = false;
    std::deque<std::shared_ptr<Waiter>> waiters_;
};

// The one gate all clients of this process share.
UploadGate& uploadGate();

}  // namespace sayloft::service
