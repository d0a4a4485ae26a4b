#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/error.hpp"

namespace sayloft::platform::dbus {

// A failed bus operation. what() is the text to log; name() is the D-Bus error name when the peer
// answered with one (e.g. "org.freedesktop.DBus.Error.ServiceUnknown"), else empty.
class BusError : public Error {
  public:
    BusError(const std::string& text, std::string name = {})
        : Error(text), name_(std::move(name)) {}
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

// Throws BusError for a negative sd-bus result; `error` carries the peer's answer when it sent one.
// The text is `what`, ": " and the reason (just the reason when `what` is empty).
void check(int result, const sd_bus_error* error, const std::string& what);

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// One bus connection and the thread that dispatches its incoming messages (signals, method calls
// to objects we serve). sd-bus connections are not thread-safe: every use from other threads goes
// through withBus(), which holds the connection's lock and afterwards wakes the dispatch thread so
// that messages read during the call are dispatched too. Callbacks registered on the bus run on the
// dispatch thread with the lock held; they hand slow or re-entrant work to defer().
class BusLoop {
  public:
    // Connects to the user's session bus (`address` empty) or to the bus at `address`, a D-Bus
    // address such as "unix:path=/run/user/1000/bus". Throws BusError when that fails.
    explicit BusLoop(const std::string& address = {});
    ~BusLoop();
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;

    // Stops and joins the dispatch thread; the connection stays open until destruction. Must not be
    // called from a bus callback or deferred work.
    void stop();
    // False once the connection broke (the peer or the bus went away).
    bool connected() const;
    // Whether the caller is the dispatch thread (in a callback or deferred work).
    bool onLoopThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    template <class Work>
    decltype(auto) withBus(Work&& work) {
        struct Wake {
            BusLoop* loop;
            ~Wake() { loop->wake(); }
        } wake{this};
        std::lock_guard lock(mutex_);
        return work(bus_);
    }

    // From a bus callback (lock held): runs `work` on the dispatch thread after the lock is
    // released.
    void defer(std::function<void()> work);

  private:
    void run();
    void wake();

    sd_bus* bus_ = nullptr;
    int wakeFd_ = -1;
    mutable std::mutex mutex_;
    bool stopping_ = false;
    bool connected_ = true;
    std::vector<std::function<void()>> deferred_;
    std::thread thread_;
};

}  // namespace sayloft::platform::dbus
