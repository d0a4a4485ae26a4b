#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace sayloft::platform {

// Outcome of a secret-store operation. A missing item is reported apart from real failures, and
// a store that does not answer right now (no Secret Service on the bus, a locked keyring) apart
// from both.
enum class SecretStatus { ok, notFound, unavailable, failed };

struct SecretResult {
    SecretStatus status = SecretStatus::ok;
    std::string value;  // read: the secret
    std::string error;  // failed: what went wrong (never contains a secret)
};

// Keeps one text secret per (service, account) pair. Operations are synchronous and safe to call
// from any thread.
class SecretStore {
  public:
    virtual ~SecretStore() = default;
    virtual SecretResult read(const std::string& service, const std::string& account) = 0;
    // Creates the item or replaces its value.
    virtual SecretResult write(const std::string& service, const std::string& account,
                               const std::string& value) = 0;
    virtual SecretResult remove(const std::string& service, const std::string& account) = 0;
    // For log lines: "Secret Service" or the file's path.
    virtual std::string describe() const = 0;
};

// A JSON file {"<service>": {"<account>": "<value>"}}, created with mode 0600 (never wider, not
// even for an instant) and replaced atomically and durably (file and folder flushed) on every
// change. A damaged file (empty, not JSON, not an object) is set aside as
// "<name>.damaged-<UTC time>" and logged, and the store goes on as if it were empty: a crash
// right after pairing must never block pairing again.
class FileSecretStore : public SecretStore {
  public:
    explicit FileSecretStore(std::filesystem::path file,
                             std::function<std::string()> now = nullptr);
    // "secrets.json" in the data directory (~/.local/share/sayloft).
    static std::filesystem::path defaultPath();

    SecretResult read(const std::string& service, const std::string& account) override;
    SecretResult write(const std::string& service, const std::string& account,
                       const std::string& value) override;
    SecretResult remove(const std::string& service, const std::string& account) override;
    std::string describe() const override;

  private:
    std::filesystem::path file_;
    std::function<std::string()> now_;  // the time stamp of a set-aside file
    std::mutex mutex_;
};

// The desktop's Secret Service (gnome-keyring, KWallet...) through libsecret, items keyed by the
// attributes "service" and "account" in the default collection. Without a session bus, without
// a provider or with a locked keyring every operation is `unavailable`; each call asks again, so
// a Secret Service that starts later is used from then on.
class SecretServiceStore : public SecretStore {
  public:
    // True when a Secret Service answers on the session bus right now.
    static bool available();

    SecretResult read(const std::string& service, const std::string& account) override;
    SecretResult write(const std::string& service, const std::string& account,
                       const std::string& value) override;
    SecretResult remove(const std::string& service, const std::string& account) override;
    std::string describe() const override { return "Secret Service"; }
};

// The desktop's secret store: the Secret Service and the 0600 file together, so that no process
// ever strands a secret in the one the other does not read.
// - read: looks in both, every time. A secret found in the file while the Secret Service answers
//   is moved into it (the file only holds what was written while none answered, so it is newer).
// - write: to the Secret Service when it answers (and the file's copy is removed), else to the
//   file.
// - remove: from both.
// Which of the two takes new secrets is logged when it changes (to the log only).
class DesktopSecretStore : public SecretStore {
  public:
    DesktopSecretStore(std::shared_ptr<SecretStore> keyring, std::shared_ptr<SecretStore> file);

    SecretResult read(const std::string& service, const std::string& account) override;
    SecretResult write(const std::string& service, const std::string& account,
                       const std::string& value) override;
    SecretResult remove(const std::string& service, const std::string& account) override;
    std::string describe() const override;

  private:
    void noteKeyring(bool answers);

    std::shared_ptr<SecretStore> keyring_;
    std::shared_ptr<SecretStore> file_;
    std::mutex mutex_;
    int keyringAnswered_ = -1;  // -1 unknown, else whether it answered last time
};

// The process's one secret store: a DesktopSecretStore over the Secret Service and the file
// store at its default path, created on first use and kept for the life of the process.
std::shared_ptr<SecretStore> defaultSecretStore();

}  // namespace sayloft::platform
