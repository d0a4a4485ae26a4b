#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/clock.hpp"
#include "faults.hpp"
#include "store.hpp"

namespace sayloft::wendrel {

// The data folder's layout: the database, the accepted audio and the uploads in progress.
struct DataDir {
    explicit DataDir(std::filesystem::path root);
    std::filesystem::path root;
    std::filesystem::path database() const { return root / "wendrel.db"; }
    std::filesystem::path audio() const { return root / "audio"; }
    std::filesystem::path incoming() const { return root / "incoming"; }
    // Creates the folders (owner-only).
    void create() const;
    // Removes uploads a previous run never finished and audio no source refers to.
    int removeLeftovers(Store& store) const;
};

struct ServiceOptions {
    std::filesystem::path dataDir;
    bool autoApprove = false;
    // Fault injection and source moves under /admin, answered to loopback peers only.
    bool admin = false;
    int64_t maxUploadBytes = 512LL * 1024 * 1024;
    int pairingInterval = 5;    // seconds between token polls
    int pairingLifetime = 600;  // seconds a device code stays valid
    int threads = 16;
};

// The HTTP side: pairing, the bearer-token API below /api/v1, the verification page and the
// optional admin endpoints. Accepted uploads are on disk and in the store before the answer.
class Service {
  public:
    Service(ServiceOptions options, Store& store, core::Clock& clock,
            std::function<void()> onNewJob);
    ~Service();

    // Binds to host:port (port 0 picks a free one) and returns the port. Throws on failure.
    int bind(const std::string& host, int port);
    // Serves until stop(); requests in progress finish first.
    void run();
    void stop();

    FaultTable& faults();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sayloft::wendrel
