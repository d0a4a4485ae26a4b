#pragma once

#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace sayloft::wendrel {

// How much of the server one client may hold.
struct ConnectionLimits {
    // Connections served at the same time; a thread is started for each up to this many.
    int maxConnections = 256;
    // Connections open at the same time from one client address; more are closed at once.
    int maxPerAddress = 64;
    // A request's line and headers (and a body that is not streamed) must arrive within this.
    std::chrono::milliseconds requestDeadline{10000};
    // Longest wait for any single read or write, and for the next request on a kept-alive
    // connection.
    std::chrono::milliseconds readTimeout{5000};
    // Bytes of request line and headers.
    size_t maxHeaderBytes = 64 * 1024;
};

// An HTTP server on which slow or idle clients cannot starve the others: every connection gets
// its own thread (up to a limit), a request must arrive whole before a deadline, and one
// address may hold only so many connections.
class GuardedServer : public httplib::Server {
  public:
    explicit GuardedServer(ConnectionLimits limits);

    // Called on the thread serving a request once its headers are in (from the pre-routing
    // handler). A request whose body streams into a handler is from then on only bound by the
    // read time-out; any other body must arrive within a fresh deadline.
    static void headersComplete(bool streamingBody);

    // Called on the thread serving a request: the connection ends after this answer (its body
    // may be left unread).
    static void closeAfterThisRequest();

    // Connections currently open from `address`.
    int openConnections(const std::string& address);

  private:
    bool process_and_close_socket(socket_t sock) override;

    ConnectionLimits limits_;
    std::mutex mutex_;
    std::map<std::string, int> perAddress_;
};

}  // namespace sayloft::wendrel
