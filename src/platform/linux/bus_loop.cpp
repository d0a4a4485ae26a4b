#include "platform/linux/bus_loop.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.hpp"

namespace sayloft::platform::dbus {

void check(int result, const sd_bus_error* error, const std::string& what) {
    if (result >= 0) return;
    const std::string prefix = what.empty() ? std::string() : what + ": ";
    if (error && sd_bus_error_is_set(error)) {
        throw BusError(prefix + (error->message ? error->message : error->name), error->name);
    }
    throw BusError(prefix + std::strerror(-result));
}

namespace {

sd_bus* openBus(const std::string& address) {
    sd_bus* bus = nullptr;
    int r;
    if (address.empty()) {
        r = sd_bus_open_user(&bus);
        check(r, nullptr, "cannot connect to the session bus");
        return bus;
    }
    r = sd_bus_new(&bus);
    check(r, nullptr, "cannot create a bus connection");
    if ((r = sd_bus_set_address(bus, address.c_str())) >= 0 &&
        (r = sd_bus_set_bus_client(bus, 1)) >= 0) {
        r = sd_bus_start(bus);
    }
    if (r < 0) {
        sd_bus_unref(bus);
        check(r, nullptr, "cannot connect to the bus at " + address);
    }
    return bus;
}

int pollTimeoutMs(sd_bus* bus) {
    uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) return -1;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t now = uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
    if (until <= now) return 0;
    const uint64_t ms = (until - now + 999) / 1000;
    return ms > 60000 ? 60000 : int(ms);
}

}  // namespace

BusLoop::BusLoop(const std::string& address) : bus_(openBus(address)) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int e = errno;
        sd_bus_flush_close_unref(bus_);
        throw BusError(std::string("eventfd: ") + std::strerror(e));
    }
    thread_ = std::thread([this] { run(); });
}

BusLoop::~BusLoop() {
    stop();
    sd_bus_flush_close_unref(bus_);
    close(wakeFd_);
}

void BusLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
}

bool BusLoop::connected() const {
    std::lock_guard lock(mutex_);
    return connected_ && sd_bus_is_open(bus_) > 0;
}

void BusLoop::defer(std::function<void()> work) {
    deferred_.push_back(std::move(work));
}

void BusLoop::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void BusLoop::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        int r = 0;
        while (!stopping_ && (r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0) connected_ = false;
        std::vector<std::function<void()>> deferred;
        deferred.swap(deferred_);
        const int fd = sd_bus_get_fd(bus_);
        const int events = sd_bus_get_events(bus_);
        const int timeout = pollTimeoutMs(bus_);
        const bool watchBus = connected_ && fd >= 0 && events >= 0;
        lock.unlock();
        for (auto& work : deferred) {
            try {
                work();
            } catch (const std::exception& e) {
                core::log("notifications", "bus callback failed: {}", e.what());
            }
        }
        if (deferred.empty()) {
            pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, short(events > 0 ? events : 0), 0}};
            poll(fds, watchBus ? 2 : 1, watchBus ? timeout : -1);
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
        }
        lock.lock();
    }
}

}  // namespace sayloft::platform::dbus
