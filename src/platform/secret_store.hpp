#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace sayloft::platform {

// Outcome of a secret-store operation. A missing item is reported apart from real failures.
enum class SecretStatus { ok, notFound, failed };

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
// even for an instant) and replaced atomically on every change.
class FileSecretStore : public SecretStore {
  public:
    explicit FileSecretStore(std::filesystem::path file);
    // "secrets.json" in the data directory (~/.local/share/sayloft).
    static std::filesystem::path defaultPath();

    SecretResult read(const std::string& service, const std::string& account) override;
    SecretResult write(const std::string& service, const std::string& account,
                       const std::string& value) override;
    SecretResult remove(const std::string& service, const std::string& account) override;
    std::string describe() const override;

  private:
    std::filesystem::path file_;
    std::mutex mutex_;
};

// The desktop's Secret Service (gnome-keyring, KWallet...) through libsecret, items keyed by the
// attributes "service" and "account" in the default collection.
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

// The process's store, chosen once: the Secret Service when one answers, else the file store at
// its default path.
std::shared_ptr<SecretStore> defaultSecretStore();

// In memory, for tests; can be told to fail.
class MemorySecretStore : public SecretStore {
  public:
    SecretResult read(const std::string& service, const std::string& account) override;
    SecretResult write(const std::string& service, const std::string& account,
                       const std::string& value) override;
    SecretResult remove(const std::string& service, const std::string& account) override;
    std::string describe() const override { return "memory"; }
    void setFailing(bool failing);

  private:
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
    bool failing_ = false;
};

}  // namespace sayloft::platform
