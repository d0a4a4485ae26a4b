#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/json.hpp"

struct sqlite3;

namespace sayloft::wendrel {

// A paired device. The token itself is never stored: only its SHA-256 and its first characters
// (for display and for `revoke <prefix>`).
struct Device {
    std::string id;
    std::string name;
    std::string clientType;
    std::vector<std::string> scopes;
    std::string tokenPrefix;
    double createdAt = 0;
    std::optional<double> lastUsedAt;
    std::optional<double> revokedAt;
};

// One device-code pairing attempt. The device code is stored hashed, like tokens.
struct Pairing {
    std::string deviceCodeHash;
    std::string userCode;
    std::string name;
    std::string clientType;
    std::vector<std::string> scopes;
    double createdAt = 0;
    double expiresAt = 0;
    // "pending", "approved", "denied" or "delivered" (the token was handed out once).
    std::string state = "pending";
};

// What an upload brings; the store assigns the sequence number.
struct NewSource {
    std::string cacheKey;
    std::string taskId;
    std::string audioSha256;
    std::string audioFile;  // file name inside the audio folder
    int64_t audioBytes = 0;
    std::string originalFilename;
    std::string contentType;
    std::string contentSource;
    std::optional<std::string> language;
    std::vector<std::string> tags;
    core::Json metadata = core::Json::object();
    std::string deviceId;
    double createdAt = 0;
    std::optional<double> duration;
};

struct Source : NewSource {
    int64_t seq = 0;
    // "queued", "processing", "completed" or "failed".
    std::string status = "queued";
    std::optional<std::string> error;
    std::optional<std::string> text;
    std::optional<int64_t> wordCount;
    std::optional<std::string> model;
    std::optional<std::string> llmTitle;
    std::optional<std::string> llmSummary;
    std::optional<double> finishedAt;
    bool isDeleted = false;
};

struct Transcript {
    std::string text;
    int64_t wordCount = 0;
    double duration = 0;
    std::string model;
    std::optional<std::string> title;
    std::optional<std::string> summary;
};

struct SourcePage {
    std::vector<Source> items;
    bool hasMore = false;
    std::optional<std::string> nextCursor;
};

class StoreError : public Error {
  public:
    using Error::Error;
};

// A listing cursor that this store never issued (or that has lapsed).
class InvalidCursor : public StoreError {
  public:
    using StoreError::StoreError;
};

// The service's database: devices, pairings, sources and the transcription queue (sources in
// status "queued"). One SQLite connection in WAL mode, serialised by a mutex; every change is
// one transaction, committed durably before the caller answers.
class Store {
  public:
    explicit Store(const std::filesystem::path& dbFile);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Pairing
    void insertPairing(const Pairing& pairing);
    std::optional<Pairing> pairingByDeviceCodeHash(const std::string& hash);
    // The newest pairing with this user code that is still pending and not expired at `now`.
    std::optional<Pairing> pendingPairingByUserCode(const std::string& userCode, double now);
    // Moves a pending pairing to "approved" or "denied"; false when it is not pending.
    bool decidePairing(const std::string& deviceCodeHash, bool approve);
    // Atomically marks an approved pairing delivered and stores its device; false when the
    // pairing was not (or no longer) approved, so a token is handed out at most once.
    bool deliverPairing(const std::string& deviceCodeHash, const Device& device,
                        const std::string& tokenHash);
    void removePairingsExpiredBefore(double time);

    // Devices
    std::optional<Device> activeDeviceByTokenHash(const std::string& tokenHash);
    void touchDevice(const std::string& id, double now);
    std::vector<Device> devices();
    // Revokes the active devices whose token prefix or id starts with `prefix`; returns them.
    std::vector<Device> revokeDevices(const std::string& prefix, double now);

    // Sources
    // Inserts the source unless a source that is neither deleted nor failed already holds the
    // same audio; then returns that one and `inserted` false. Check and insert are one step.
    struct InsertResult {
        Source source;
        bool inserted = false;
    };
    InsertResult insertSource(const NewSource& source);
    std::optional<Source> sourceByKey(const std::string& cacheKey);
    std::optional<Source> sourceByTask(const std::string& taskId);
    // Newest first. `before` must be a cursor this store issued; throws InvalidCursor otherwise.
    SourcePage listSources(int limit, const std::optional<std::string>& before, bool includeDeleted,
                           double now);
    bool moveSource(const std::string& oldKey, const std::string& newKey);
    bool markDeleted(const std::string& cacheKey);
    int64_t sourceCount();
    std::vector<std::string> audioFiles();

    // Transcription queue
    // Jobs left "processing" by a stopped or crashed run go back to "queued". Returns how many.
    int requeueInterrupted();
    // Takes the oldest queued job and marks it "processing".
    std::optional<Source> claimNextJob();
    void completeJob(int64_t seq, const Transcript& transcript, double now);
    void failJob(int64_t seq, const std::string& reason, double now);
    void requeueJob(int64_t seq);
    int64_t queuedCount();

    // Runs SQLite's own consistency check; "ok" when the database is sound.
    std::string integrityCheck();

  private:
    class Statement;
    void exec(const char* sql);
    Source readSource(Statement& st);
    std::optional<Source> sourceWhere(const char* where, const std::string& value);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace sayloft::wendrel
