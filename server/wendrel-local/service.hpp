#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/clock.hpp"
#include "faults.hpp"
#include "guarded_server.hpp"
#include "peer_credentials.hpp"
#include "store.hpp"

namespace sayloft::wendrel {

// The data folder's layout: the database, the accepted audio and the uploads in progress.
struct DataDir {
    explicit DataDir(std::filesystem::path root);
    std::filesystem::path root;
    std::filesystem::path database() const { return root / "wendrel.db"; }
    std::filesystem::path audio() const { return root / "audio"; }
    std::filesystem::path incoming() const { return root / "incoming"; }
    // Recordings handed to a recognizer command while it runs.
    std::filesystem::path work() const { return root / "work"; }
    // The owner key: whoever can read it may approve pairings and use /admin.
    std::filesystem::path ownerKeyFile() const { return root / "owner.key"; }
    // The address the running service listens on (HOST:PORT), for `wendrel-local approve`.
    std::filesystem::path listenFile() const { return root / "listen"; }
    // Creates the folders (owner-only) and, when there is none yet, the owner key (mode 0600).
    void create() const;
    // The owner key; throws Error when it cannot be read.
    std::string ownerKey() const;
    // Removes uploads a previous run never finished and audio no source refers to.
    int removeLeftovers(Store& store) const;
};

struct ServiceOptions {
    std::filesystem::path dataDir;
    // Approves pairing requests that come over loopback from a process of the owner's uid.
    bool autoApprove = false;
    // Fault injection and source moves under /admin, answered to loopback peers with the owner
    // key only.
    bool admin = false;
    int64_t maxUploadBytes = 512LL * 1024 * 1024;
    int pairingInterval = 5;          // seconds between token polls
    int pairingLifetime = 600;        // seconds a device code stays valid
    int sessionLifetime = 12 * 3600;  // seconds an approval page session lasts
    ConnectionLimits limits;
    // The uid the service runs as (getuid() when unset) and how a client's uid is found
    // (tcpPeerUid when unset).
    std::optional<uid_t> ownerUid;
    std::function<std::optional<uid_t>(const TcpConnection&)> peerUid;
};

// The request header that carries the owner key.
inline constexpr const char* kOwnerKeyHeader = "X-Wendrel-Owner-Key";

// The HTTP side: pairing, the bearer-token API below /api/v1, the verification page and the
// optional admin endpoints. Accepted uploads are on disk and in the store before the answer.
class Service {
  public:
    Service(ServiceOptions options, Store& store, core::Clock& clock,
            std::function<void()> onNewJob);
    ~Service();

    // Binds to host:port (port 0 picks a free one) and returns the port. Throws on failure.
    // Requests must name this address (or, on loopback, a loopback name) as their Host.
    int bind(const std::string& host, int port);
    // http://HOST:PORT of the bound address, as links to this service are written.
    std::string baseUrl() const;
    // Serves until stop(); requests in progress finish first.
    void run();
    void stop();

    FaultTable& faults();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sayloft::wendrel
