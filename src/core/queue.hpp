#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

namespace sayloft::core {

// A named serial queue: one worker thread runs submitted work in submission order.
// stop() (or destruction) lets queued work finish, then joins the worker.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Queues `work`; returns at once. Ignored after stop().
    void async(std::function<void()> work);

    // Runs `work` on the queue and waits for its result; runs inline when called from the
    // queue itself. Exceptions reach the caller.
    template <class F>
    auto sync(F&& work) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isCurrent()) return work();
        std::packaged_task<R()> task(std::forward<F>(work));
        auto result = task.get_future();
        if (!enqueue([&task] { task(); })) throw std::runtime_error("queue " + label_ + " stopped");
        return result.get();
    }

    // Waits until everything queued so far has run.
    void drain();
    bool isCurrent() const;
    void stop();

  private:
    bool enqueue(std::function<void()> work);
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread::id workerId_;
    std::thread worker_;
};

// The "main thread" of the design. The daemon runs RunLoop on its main thread; a GUI maps
// async() onto its own event loop.
class MainQueue {
  public:
    virtual ~MainQueue() = default;
    virtual void async(std::function<void()> work) = 0;
};

// A main queue that runs work on whichever thread calls run(), until quit().
class RunLoop : public MainQueue {
  public:
    void async(std::function<void()> work) override;
    void run();
    void quit();

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> work_;
    bool quit_ = false;
};

}  // namespace sayloft::core
