#include "app/control_socket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/error.hpp"
#include "core/log.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;

ControlConnection::ControlConnection(int fd) : fd_(fd) {}

ControlConnection::~ControlConnection() {
    close();
    ::close(fd_);
}

bool ControlConnection::send(const core::Json& message) {
    std::string line = message.dump(-1, ' ', false, core::Json::error_handler_t::replace) + "\n";
    std::lock_guard guard(sendMutex_);
    if (!open_) return false;
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            open_ = false;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

std::optional<core::Json> ControlConnection::receive() {
    for (;;) {
        if (auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            auto json = core::Json::parse(line, nullptr, false);
            if (json.is_discarded() || !json.is_object())
                return core::Json{{"error", "not a JSON object"}};
            return json;
        }
        if (buffer_.size() > kMaxLineBytes || !open_) return std::nullopt;
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            open_ = false;
            return std::nullopt;
        }
        buffer_.append(chunk, size_t(n));
    }
}

void ControlConnection::close() {
    open_ = false;
    ::shutdown(fd_, SHUT_RDWR);  // wakes a blocked receive(); the descriptor stays ours
}

struct ControlServer::Session {
    std::shared_ptr<ControlConnection> connection;
    std::stop_source stop;
    std::jthread reader;
    std::mutex mutex;
    std::list<std::jthread> requests;
    std::atomic<bool> done{false};
};

ControlServer::ControlServer(fs::path socketPath, Handler handler, PeerCheck check)
    : path_(std::move(socketPath)),
      handler_(std::move(handler)),
      check_(check ? std::move(check) : PeerCheck(&ControlServer::sameUser)) {}

ControlServer::~ControlServer() {
    stop();
}

bool ControlServer::sameUser(const ucred& peer) {
    return peer.uid == ::getuid();
}

void ControlServer::start() {
    // The socket is bound under a temporary name and renamed into place once it listens, so a
    // client that finds the socket never meets one that refuses connections.
    const fs::path pending = path_.string() + ".new";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (pending.string().size() >= sizeof address.sun_path)
        throw Error("the control socket path is too long: " + path_.string());
    std::strcpy(address.sun_path, pending.c_str());

    std::error_code ec;
    fs::create_directories(path_.parent_path(), ec);
    ::chmod(path_.parent_path().c_str(), 0700);
    ::unlink(path_.c_str());
    ::unlink(pending.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw Error(std::string("cannot create the control socket: ") + strerror(errno));
    mode_t old = ::umask(0177);
    int bound = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(old);
    if (bound != 0 || ::listen(listenFd_, 16) != 0 ||
        ::rename(pending.c_str(), path_.c_str()) != 0) {
        int error = errno;
        ::close(listenFd_);
        ::unlink(pending.c_str());
        listenFd_ = -1;
        throw Error("cannot listen on " + path_.string() + ": " + std::strerror(error));
    }
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) throw Error("cannot create a pipe");
    acceptor_ = std::jthread([this](std::stop_token stop) { acceptLoop(stop); });
}

void ControlServer::acceptLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        adopt(fd);
    }
}

void ControlServer::adopt(int fd) {
    auto session = std::make_shared<Session>();
    session->connection = std::make_shared<ControlConnection>(fd);
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || !check_(peer)) {
        core::log("launch", "control socket: refused a peer of uid {} (pid {})", peer.uid,
                  peer.pid);
        session->connection->send({{"error", "refused: not the same user"}});
        return;  // the connection closes with the session
    }
    std::lock_guard guard(mutex_);
    if (stopping_) return;
    reap();
    sessions_.push_back(session);
    session->reader = std::jthread([this, session] { serve(session); });
}

void ControlServer::serve(std::shared_ptr<Session> session) {
    auto& connection = *session->connection;
    while (auto request = connection.receive()) {
        if (!request->contains("method") || !(*request)["method"].is_string()) {
            core::Json reply = {{"error", request->value("error", "a request names its method")}};
            if (request->contains("id")) reply["id"] = (*request)["id"];
            connection.send(reply);
            continue;
        }
        std::lock_guard guard(session->mutex);
        session->requests.emplace_back(
            [this, session, request = std::move(*request), token = session->stop.get_token()] {
                try {
                    handler_(*session->connection, request, token);
                } catch (const std::exception& e) {
                    core::Json reply = {{"error", e.what()}};
                    if (request.contains("id")) reply["id"] = request["id"];
                    session->connection->send(reply);
                }
            });
    }
    session->stop.request_stop();
    std::list<std::jthread> requests;
    {
        std::lock_guard guard(session->mutex);
        requests.swap(session->requests);
    }
    requests.clear();  // joins
    session->done = true;
}

void ControlServer::reap() {
    sessions_.remove_if([](const std::shared_ptr<Session>& s) {
        if (!s->done) return false;
        s->reader.join();
        return true;
    });
}

void ControlServer::stop() {
    std::list<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard guard(mutex_);
        if (stopping_) return;
        stopping_ = true;
        sessions.swap(sessions_);
    }
    if (wakeFds_[1] >= 0) {
        char byte = 1;
        ssize_t n = ::write(wakeFds_[1], &byte, 1);
        (void)n;
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& s : sessions) {
        s->stop.request_stop();
        s->connection->close();
    }
    for (auto& s : sessions)
        if (s->reader.joinable()) s->reader.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
        listenFd_ = -1;
    }
    for (int& fd : wakeFds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

std::unique_ptr<ControlConnection> connectToEngine(const fs::path& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.string().size() >= sizeof address.sun_path) return nullptr;
    std::strcpy(address.sun_path, socketPath.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<ControlConnection>(fd);
}

}  // namespace sayloft::app
