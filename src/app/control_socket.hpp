#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "core/json.hpp"

namespace sayloft::app {

// One connected front-end. Messages are JSON objects, one per line, in both directions.
class ControlConnection {
  public:
    explicit ControlConnection(int fd);
    ~ControlConnection();
    ControlConnection(const ControlConnection&) = delete;
    ControlConnection& operator=(const ControlConnection&) = delete;

    // Sends one message; false once the peer has gone. Safe from any thread.
    bool send(const core::Json& message);
    // Reads the next message; nothing when the peer closed the connection or sent more than
    // kMaxLineBytes without a line break. Lines that are not JSON objects come back as an
    // object holding "error".
    std::optional<core::Json> receive();
    // Ends the connection; a blocked receive() returns nothing.
    void close();
    bool isOpen() const { return open_; }

    static constexpr size_t kMaxLineBytes = 1 << 20;

  private:
    int fd_;
    std::atomic<bool> open_{true};
    std::mutex sendMutex_;
    std::string buffer_;
};

// The engine's control socket: a Unix domain socket in a private (0700) folder. Only processes
// of the same user are served: every peer's credentials are checked when it connects. Each
// request runs on its own thread, so a long one (a retry, a sync) never holds up the others.
class ControlServer {
  public:
    // Called for each request; replies go through the connection. The token is stopped when
    // the peer disconnects or the server stops.
    using Handler =
        std::function<void(ControlConnection&, const core::Json& request, std::stop_token)>;
    // Decides whether a peer may talk to the engine: same uid unless replaced (tests).
    using PeerCheck = std::function<bool(const ucred&)>;

    ControlServer(std::filesystem::path socketPath, Handler handler, PeerCheck check = {});
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds and listens (a stale socket file is replaced: the caller holds the instance lock),
    // then accepts on a thread of its own. Throws when the socket cannot be set up.
    void start();
    // Stops accepting, disconnects every peer and joins every thread.
    void stop();
    // Serves one already connected socket (a socket pair in tests), credentials checked.
    void adopt(int fd);

    const std::filesystem::path& path() const { return path_; }

    static bool sameUser(const ucred& peer);

  private:
    struct Session;
    void acceptLoop(std::stop_token stop);
    void serve(std::shared_ptr<Session> session);
    void reap();

    std::filesystem::path path_;
    Handler handler_;
    PeerCheck check_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::jthread acceptor_;
    std::mutex mutex_;
    std::list<std::shared_ptr<Session>> sessions_;
    bool stopping_ = false;
};

// A front-end's side: connects to the engine's socket.
std::unique_ptr<ControlConnection> connectToEngine(const std::filesystem::path& socketPath);

}  // namespace sayloft::app
