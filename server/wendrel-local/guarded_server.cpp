#include "guarded_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

namespace sayloft::wendrel {

namespace {
using SteadyClock = std::chrono::steady_clock;
// Waits are cut into slices this long so that a stopping server is noticed.
constexpr int kSliceMs = 100;

// Starts a thread for each task while all are busy, up to `max`; threads are kept for reuse.
class ElasticPool : public httplib::TaskQueue {
  public:
    explicit ElasticPool(size_t max) : max_(max) {}
    ~ElasticPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(fn));
        if (jobs_.size() > idle_ && threads_.size() < max_) {
            threads_.emplace_back([this] { work(); });
        }
        ready_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

  private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) return;
            auto fn = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    }

    size_t max_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

std::string addressText(const sockaddr_storage& addr) {
    char buf[INET6_ADDRSTRLEN] = {0};
    if (addr.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, buf, sizeof buf);
    } else if (addr.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, buf,
                  sizeof buf);
    }
    return buf;
}

int portOf(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    }
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
    }
    return -1;
}

// A connection's socket with time limits: every wait is bounded by the read time-out, and while
// a request is being read also by the request's deadline and a cap on header bytes.
class DeadlineStream : public httplib::Stream {
  public:
    DeadlineStream(socket_t sock, const ConnectionLimits& limits,
                   const std::atomic<socket_t>& listening)
        : sock_(sock), limits_(limits), listening_(listening) {}

    // Between requests: waits are bounded by the read time-out alone, and a stopping server
    // ends the wait.
    void awaitRequest() {
        bounded_ = false;
        countingHeaders_ = true;
    }

    void beginRequest() {
        deadline_ = SteadyClock::now() + limits_.requestDeadline;
        bounded_ = true;
        headerBytes_ = 0;
        countingHeaders_ = true;
    }
    void closeAfterThisRequest() { closing_ = true; }
    bool closing() const { return closing_; }

    void headersComplete(bool streamingBody) {
        countingHeaders_ = false;
        bounded_ = !streamingBody;
        deadline_ = SteadyClock::now() + limits_.requestDeadline;
    }

    bool is_readable() const override { return wait(POLLIN); }
    bool is_writable() const override { return wait(POLLOUT); }

    ssize_t read(char* ptr, size_t size) override {
        if (!wait(POLLIN)) return -1;
        if (countingHeaders_) {
            if (headerBytes_ >= limits_.maxHeaderBytes) return -1;
            size = std::min(size, limits_.maxHeaderBytes - headerBytes_);
        }
        ssize_t n;
        do {
            n = ::recv(sock_, ptr, size, 0);
        } while (n < 0 && errno == EINTR);
        if (n > 0 && countingHeaders_) headerBytes_ += static_cast<size_t>(n);
        return n;
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!wait(POLLOUT)) return -1;
        ssize_t n;
        do {
            n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            ip = addressText(addr);
            port = portOf(addr);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            ip = addressText(addr);
            port = portOf(addr);
        }
    }
    socket_t socket() const override { return sock_; }

  private:
    bool wait(short events) const {
        auto end = SteadyClock::now() + limits_.readTimeout;
        bool reading = events == POLLIN;
        if (reading && bounded_ && deadline_ < end) end = deadline_;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
            if (left.count() <= 0) return false;
            // A request still arriving when the server stops is abandoned.
            if (reading && listening_ == INVALID_SOCKET && countingHeaders_) return false;
            pollfd p{sock_, events, 0};
            int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), kSliceMs)));
            if (rc > 0) return true;
            if (rc < 0 && errno != EINTR) return false;
        }
    }

    socket_t sock_;
    const ConnectionLimits& limits_;
    const std::atomic<socket_t>& listening_;
    SteadyClock::time_point deadline_{};
    bool bounded_ = false;  // until a request begins
    bool countingHeaders_ = true;
    size_t headerBytes_ = 0;
    bool closing_ = false;
};

thread_local DeadlineStream* currentStream = nullptr;
}  // namespace

GuardedServer::GuardedServer(ConnectionLimits limits) : limits_(limits) {
    new_task_queue = [n = limits_.maxConnections] {
        return new ElasticPool(static_cast<size_t>(n));
    };
}

void GuardedServer::headersComplete(bool streamingBody) {
    if (currentStream) currentStream->headersComplete(streamingBody);
}

void GuardedServer::closeAfterThisRequest() {
    if (currentStream) currentStream->closeAfterThisRequest();
}

int GuardedServer::openConnections(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto it = perAddress_.find(address);
    return it == perAddress_.end() ? 0 : it->second;
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    std::string address;
    if (::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
        address = addressText(peer);
    }
    bool admitted;
    {
        std::lock_guard lock(mutex_);
        admitted = perAddress_[address] < limits_.maxPerAddress;
        if (admitted) ++perAddress_[address];
    }
    bool ok = false;
    if (admitted) {
        DeadlineStream stream(sock, limits_, svr_sock_);
        currentStream = &stream;
        for (size_t left = keep_alive_max_count_; left > 0; --left) {
            // The next request must start within the read time-out (idle connections end).
            stream.awaitRequest();
            if (!stream.is_readable() || svr_sock_ == INVALID_SOCKET) break;
            stream.beginRequest();
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed || stream.closing()) break;
        }
        currentStream = nullptr;
        std::lock_guard lock(mutex_);
        if (--perAddress_[address] == 0) perAddress_.erase(address);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

}  // namespace sayloft::wendrel
