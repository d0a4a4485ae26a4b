#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.hpp"
#include "core/error.hpp"
#include "platform/opener.hpp"
#include "service/keychain.hpp"

namespace sayloft::settings {
class Settings;
}

namespace sayloft::service {

// Where pairing stands. Fields beyond `kind` belong to the kind named in their comment.
struct PairingState {
    enum class Kind { idle, pairing, connected, failed };
    Kind kind = Kind::idle;
    std::string userCode;             // pairing: the code to compare with the web page's
    std::string verificationURL;      // pairing: the page that was opened
    core::TimePoint expiresAt{};      // pairing: when the code lapses
    std::string tokenPrefix;          // connected: the token's first 12 characters
    std::vector<std::string> scopes;  // connected: granted scopes (empty when unknown)
    std::string message;              // failed: the user-readable reason
    std::optional<long> httpStatus;   // failed: the service's HTTP status, when it gave one
    std::string savedBaseURL;         // connected: the base URL saved by this pairing, if any

    static PairingState idle() { return {}; }
    static PairingState failed(std::string message, std::optional<long> httpStatus = std::nullopt);
    static PairingState connected(std::string tokenPrefix, std::vector<std::string> scopes);
};

// A pairing endpoint answered outside 200-299: what() is "Wendrel returned HTTP <status>. " and
// the start of the body; status() the HTTP status.
class PairingError : public Error {
  public:
    PairingError(long status, const std::string& text) : Error(text), status_(status) {}
    long status() const { return status_; }

  private:
    long status_;
};

// The texts pairing can end with.
namespace pairing_text {
inline constexpr const char* kUnusableURL = "Wendrel returned an unusable verification URL.";
inline constexpr const char* kExpired =
    "Pairing expired. Try again with `sayloft pair` or the tray's Connect item.";
inline constexpr const char* kSaveFailed =
    "Could not save the token to the secret store. Pairing must be repeated.";
inline constexpr const char* kNoToken = "Wendrel approved the pairing but returned no token.";
inline constexpr const char* kDenied = "Pairing was denied in the browser.";
inline constexpr const char* kUnexpectedStatus = "Unexpected pairing status: ";
}  // namespace pairing_text

// The computer's name for the service's device list: the pretty host name from machine-info
// when one is set, else the host name, else "Linux computer".
std::string localComputerName(const std::filesystem::path& machineInfo = "/etc/machine-info");

// Pairs this computer with a service account by the device-code flow: asks for a code, opens the
// verification page, polls until the user approves, and keeps the device token in the secret
// store.
// The flow runs on its own thread; observers are called on the thread that changed the state
// and must not call connect/disconnect/cancel from inside the callback.
class WendrelAuth {
  public:
    WendrelAuth(
        Keychain& keychain, platform::Opener& opener, core::Clock& clock = core::systemClock(),
        std::function<std::string()> computerName = [] { return localComputerName(); });
    ~WendrelAuth();
    WendrelAuth(const WendrelAuth&) = delete;
    WendrelAuth& operator=(const WendrelAuth&) = delete;

    // Starts (or restarts) pairing against the API base URL.
    void connect(const std::string& baseURL);
    // Like connect, and pairing with another address than the one in use makes it the saved
    // address (the connected state's savedBaseURL then names it). On approval the other
    // service's token is removed first, then the address saved (read back to be sure), then the
    // new token stored, so that no token is ever sent to a service that did not issue it. A
    // settings file that cannot be read or written fails the attempt.
    void connectAndSave(const std::string& baseURL, settings::Settings& settings);
    // Stops any pairing, deletes the token and becomes idle.
    void disconnect();
    // Stops any pairing and keeps whatever token is stored; the state follows the secret store.
    void cancel();
    // Derives the state from the secret store.
    void refreshConnectedState();

    PairingState state() const;
    void setObserver(std::function<void(const PairingState&)> observer);
    // Called after a successful pairing (the capture pipeline resumes its unfinished captures).
    void setOnConnected(std::function<void()> onConnected);

    // Waits in real time until no pairing runs; false when `limit` passed first.
    bool waitUntilFinished(std::chrono::milliseconds limit);

  private:
    void stopTask();
    void setState(PairingState state);
    void start(const std::string& baseURL, settings::Settings* settings);
    void runPairing(std::string baseURL, settings::Settings* settings, std::stop_token stop);

    Keychain& keychain_;
    platform::Opener& opener_;
    core::Clock& clock_;
    std::function<std::string()> computerName_;

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    PairingState state_;
    bool running_ = false;
    std::function<void(const PairingState&)> observer_;
    std::function<void()> onConnected_;
    std::mutex notifyMutex_;  // keeps observer calls in the order the states were set
    std::jthread task_;
};

// The base URL `sayloft pair` pairs against: the given one (trimmed) when there is one, else the
// saved setting, else the built-in default. Throws Error when the given one is not a usable
// http or https URL.
std::string pairingBaseURL(const std::optional<std::string>& given, const settings::Settings& s);

// Forgets the device token. With a given base URL that differs from the one in use, refuses with
// a clear Error (and removes nothing): that service's token is not the one stored here.
void unpair(Keychain& keychain, const settings::Settings& s,
            const std::optional<std::string>& given = std::nullopt);

}  // namespace sayloft::service
