#include "core/queue.hpp"

#include <pthread.h>

namespace sayloft::core {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
    workerId_ = worker_.get_id();
}

SerialQueue::~SerialQueue() {
    stop();
}

void SerialQueue::async(std::function<void()> work) {
    enqueue(std::move(work));
}

bool SerialQueue::enqueue(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        work_.push_back(std::move(work));
    }
    cv_.notify_one();
    return true;
}

void SerialQueue::drain() {
    if (isCurrent()) return;
    std::promise<void> done;
    auto future = done.get_future();
    if (enqueue([&done] { done.set_value(); })) future.wait();
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == workerId_;
}

void SerialQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !worker_.joinable()) return;
        stopping_ = true;
    }
    cv_.notify_all();
    if (!worker_.joinable()) return;
    if (isCurrent()) {
        worker_.detach();  // stopped from its own work: the loop ends once that work returns
    } else {
        worker_.join();
    }
}

void SerialQueue::run() {
    // Linux thread names are limited to 15 characters; keep the distinctive tail.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return stopping_ || !work_.empty(); });
            if (work_.empty()) return;
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
    }
}

void RunLoop::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    cv_.notify_one();
}

void RunLoop::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return quit_ || !work_.empty(); });
            if (quit_) return;
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
    }
}

void RunLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
}

}  // namespace sayloft::core
